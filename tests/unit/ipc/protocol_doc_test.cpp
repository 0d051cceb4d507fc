// docs/protocol.md is what desktop-application developers write their clients
// from: its example lines must be exactly what the helper reads and writes, and
// its error-code table must list exactly the codes the helper has.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/route_validation.h"
#include "ipc/error_codes.h"
#include "ipc/protocol.h"

namespace velk {
namespace {

// ctest passes the source tree; run by hand, the test finds it from its own path.
std::filesystem::path source_file(const std::string& relative) {
  const char* dir = std::getenv("VELK_SOURCE_DIR");
  std::filesystem::path root = dir ? std::filesystem::path(dir)
                                   : std::filesystem::path(__FILE__).parent_path() / "../../..";
  return root / relative;
}

std::vector<std::string> lines_of(const std::string& relative) {
  std::ifstream in(source_file(relative));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_FALSE(lines.empty()) << "cannot read " << source_file(relative) << " (set VELK_SOURCE_DIR)";
  return lines;
}

// The "> request" and "< answer" lines of the document's code blocks.
struct Example {
  std::size_t line_no;
  bool request;
  std::string text;
};

std::vector<Example> examples() {
  std::vector<Example> out;
  bool in_block = false;
  const auto doc = lines_of("docs/protocol.md");
  for (std::size_t i = 0; i < doc.size(); ++i) {
    const std::string& line = doc[i];
    if (line.starts_with("```")) in_block = !in_block;
    if (in_block && (line.starts_with("> ") || line.starts_with("< "))) {
      out.push_back({i + 1, line[0] == '>', line.substr(2)});
    }
  }
  return out;
}

// The first group of `pattern` on each line of `relative`, only under the "## " headings naming `section` if given.
std::set<std::string> captures(const std::string& relative, const char* pattern, const char* section = nullptr) {
  const std::regex re(pattern);
  std::set<std::string> out;
  bool in_section = section == nullptr;
  for (const std::string& line : lines_of(relative)) {
    if (section && line.starts_with("## ")) in_section = line.find(section) != std::string::npos;
    std::smatch m;
    if (in_section && std::regex_search(line, m, re)) out.insert(m[1]);
  }
  return out;
}
// Every code the helper defines, read from its one list.
std::set<std::string> defined_codes() {
  return captures("src/ipc/error_codes.h", R"re(std::string_view \w+ = "([a-z_]+)";)re");
}

// The engine request of a start or replace; null for the other commands.
const EngineRequest* engine_request(const Request& request) {
  if (const auto* start = std::get_if<Request::Start>(&request.command)) return &start->request;
  if (const auto* replace = std::get_if<Request::Replace>(&request.command)) return &replace->request;
  return nullptr;
}

// A start or replace that breaks a rule is shown refused with the first broken rule's
// code; one that breaks none can only be refused by a step after validation.
void expect_answer_follows_validation(const EngineRequest& request, const std::string& answer_line) {
  static const std::set<std::string_view> later_steps = {err::not_session_owner, err::not_running,
                                                         err::endpoint_unresolved, err::endpoint_refused,
                                                         err::killswitch_state, err::killswitch_failed};
  auto answer = decode_response(answer_line);
  const auto* refused = answer.ok() ? std::get_if<Response::Error>(&answer->value) : nullptr;
  if (const Outcome valid = validate_request(request); !valid) {
    EXPECT_EQ(refused ? refused->code : "(not refused)", valid.error());
  } else if (refused) {
    EXPECT_TRUE(later_steps.contains(refused->code)) << refused->code;
  }
}

TEST(ProtocolDoc, ExampleLinesAreWhatTheHelperReadsAndWrites) {
  const std::vector<Example> lines = examples();
  ASSERT_GE(lines.size(), 20u) << "the example blocks were not found";
  const std::string bad_request = encode_response({Response::Error{std::string(err::bad_request)}});
  const std::set<std::string> codes = defined_codes();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const Example& e = lines[i];
    SCOPED_TRACE("docs/protocol.md:" + std::to_string(e.line_no) + ": " + e.text);
    if (e.request) {
      // A request the document shows answered with bad_request must indeed fail.
      const bool shown_bad = i + 1 < lines.size() && lines[i + 1].text == bad_request;
      auto request = decode_request(e.text + "\n");
      EXPECT_EQ(request.ok(), !shown_bad);
      const EngineRequest* engine = request.ok() ? engine_request(*request) : nullptr;
      if (engine && i + 1 < lines.size()) expect_answer_follows_validation(*engine, lines[i + 1].text);
      continue;
    }
    auto answer = decode_response(e.text);
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(encode_response(*answer), e.text);
    if (const auto* error = std::get_if<Response::Error>(&answer->value)) {
      EXPECT_TRUE(codes.contains(error->code));
    } else if (const auto* status = std::get_if<Status>(&answer->value); status && status->error) {
      EXPECT_TRUE(codes.contains(*status->error));
    }
  }
}

TEST(ProtocolDoc, ErrorCodeTableListsExactlyTheDefinedCodes) {
  const std::set<std::string> defined = defined_codes();
  ASSERT_GE(defined.size(), 30u) << "src/ipc/error_codes.h was not read as expected";
  EXPECT_EQ(captures("docs/protocol.md", R"(^\| `([a-z_]+)` \|)", "Error codes"), defined);
}

}  // namespace
}  // namespace velk
