#include "platform/strict_json.h"

#include <utility>
#include <vector>

namespace velk {
namespace {

using nlohmann::json;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Builds the document from the parser's events. Returning false from any event
// stops the parser, which then reports failure. Only the innermost open
// container is ever changed, so the pointers to the outer ones stay valid.
class DocumentBuilder {
 public:
  DocumentBuilder(json& root, const DuplicateMemberHandler& on_duplicate)
      : root_(root), on_duplicate_(on_duplicate) {}

  bool null() { return put(json(nullptr)); }
  bool boolean(bool v) { return put(json(v)); }
  bool number_integer(json::number_integer_t v) { return put(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return put(json(v)); }
  bool number_float(json::number_float_t v, const json::string_t&) { return put(json(v)); }
  bool string(json::string_t& v) { return put(json(std::move(v))); }
  bool binary(json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) { return open(json::value_t::object); }
  bool start_array(std::size_t) { return open(json::value_t::array); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& k) {
    Frame& top = open_.back();
    if (top.node->contains(k) && !(on_duplicate_ && on_duplicate_(open_.size(), k))) {
      return false;
    }
    top.key = std::move(k);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const json::exception&) { return false; }

 private:
  struct Frame {
    json* node;
    std::string key;  // the member being read, when node is an object
  };

  json* place(json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    Frame& top = open_.back();
    if (top.node->is_array()) {
      top.node->push_back(std::move(v));
      return &top.node->back();
    }
    json& slot = (*top.node)[top.key];
    slot = std::move(v);
    return &slot;
  }

  bool put(json&& v) {
    place(std::move(v));
    return true;
  }

  bool open(json::value_t type) {
    if (open_.size() >= kMaxJsonDepth) return false;
    json* node = place(json(type));
    open_.push_back(Frame{node, {}});
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  json& root_;
  const DuplicateMemberHandler& on_duplicate_;
  std::vector<Frame> open_;
};

}  // namespace

std::optional<json> parse_json(std::string_view text, const DuplicateMemberHandler& on_duplicate) {
  // The parser would skip a leading byte-order mark (not white space here) and
  // would take a NUL byte for the end of the text, hiding what follows it. A
  // NUL is never valid JSON: inside a string it would have to be escaped.
  if (text.starts_with(kByteOrderMark)) return std::nullopt;
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  json root;
  DocumentBuilder builder(root, on_duplicate);
  try {
    const char* begin = text.data();
    if (!json::sax_parse(begin, begin + text.size(), &builder, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false)) {
      return std::nullopt;
    }
  } catch (const json::exception&) {
    return std::nullopt;
  }
  return root;
}

std::optional<json> parse_json_strict(std::string_view text) {
  return parse_json(text, nullptr);
}

std::optional<json> parse_json_lenient(std::string_view text) {
  return parse_json(text, [](std::size_t, const std::string&) { return true; });
}

}  // namespace velk
