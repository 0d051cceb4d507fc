// Feeds arbitrary bytes to the killswitch.json reader, as a whole file and as
// the raw JSON value of one member of a valid file. What reads must write
// back compact, in the order version, pins, owner, and read back the same;
// every saved address goes through the parser the restore path uses.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "killswitch/armed_state.h"
#include "platform/ip_address.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void read_file(std::string_view text) {
  auto state = velk::armed_state_from_json(text);
  if (!state) return;

  for (const auto& [host, address] : state->pins) (void)velk::IpAddress::parse(address);

  auto written = velk::armed_state_to_json(*state);
  check(written.has_value());  // the reader lets only valid UTF-8 through
  const auto doc = nlohmann::ordered_json::parse(*written, nullptr, false);
  check(!doc.is_discarded() && doc.is_object() && doc.dump() == *written);
  check(doc.size() == 3 && doc.begin().key() == "version" && std::next(doc.begin()).key() == "pins");
  auto again = velk::armed_state_from_json(*written);
  check(again && *again == *state);
}

// First byte: which member of a valid file gets the rest as its raw value.
void spliced_member(std::string_view data) {
  if (data.empty()) return;
  const std::string raw(data.substr(1));
  std::string text;
  switch (static_cast<unsigned char>(data[0]) % 5) {
    case 0: text = "{\"version\":" + raw + ",\"pins\":{},\"owner\":null}"; break;
    case 1: text = "{\"version\":1,\"pins\":" + raw + ",\"owner\":null}"; break;
    case 2: text = "{\"version\":1,\"pins\":{},\"owner\":" + raw + "}"; break;
    case 3: text = "{\"version\":1,\"pins\":{\"vpn.example.com\":" + raw + "},\"owner\":\"S-1-5-21-1\"}"; break;
    case 4: text = "{\"version\":1,\"pins\":{}," + raw + "}"; break;
  }
  read_file(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  read_file(text);
  spliced_member(text);
  return 0;
}
