#include "platform/windows_args.h"

namespace velk {

std::u16string quote_windows_argument(std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
    return std::u16string(arg);
  }
  std::u16string out = u"\"";
  std::size_t backslashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      out.append(backslashes * 2 + 1, u'\\');  // escape the backslashes and the quote
    } else {
      out.append(backslashes, u'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, u'\\');  // the closing quote must not be escaped
  out += u'"';
  return out;
}

std::u16string join_windows_command_line(std::span<const std::u16string> args) {
  std::u16string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += u' ';
    line += quote_windows_argument(args[i]);
  }
  return line;
}

std::vector<std::u16string> split_windows_command_line(std::u16string_view s) {
  std::vector<std::u16string> out;
  std::size_t i = 0;
  auto is_blank = [](char16_t c) { return c == u' ' || c == u'\t'; };

  // The program name: quotes group, no escapes.
  {
    std::u16string prog;
    bool quoted = false;
    while (i < s.size() && (quoted || !is_blank(s[i]))) {
      if (s[i] == u'"') quoted = !quoted;
      else prog += s[i];
      ++i;
    }
    out.push_back(prog);
  }

  while (true) {
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i >= s.size()) break;
    std::u16string arg;
    bool quoted = false;
    while (i < s.size() && (quoted || !is_blank(s[i]))) {
      if (s[i] == u'\\') {
        std::size_t n = 0;
        while (i < s.size() && s[i] == u'\\') { ++n; ++i; }
        if (i < s.size() && s[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2 == 1) { arg += u'"'; ++i; }
        } else {
          arg.append(n, u'\\');
        }
        continue;
      }
      if (s[i] == u'"') {
        if (quoted && i + 1 < s.size() && s[i + 1] == u'"') {
          arg += u'"';  // "" inside quotes is a literal quote
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg += s[i++];
    }
    out.push_back(arg);
  }
  return out;
}

}  // namespace velk
