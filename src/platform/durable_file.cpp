#include "platform/durable_file.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace velk {

bool path_exists(const std::filesystem::path& path) {
  std::error_code ec;
  auto st = std::filesystem::symlink_status(path, ec);
  return !ec && std::filesystem::exists(st);
}

std::optional<std::string> read_small_file(const std::filesystem::path& path, std::size_t max_bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content;
  char buf[4096];
  while (in) {
    in.read(buf, sizeof buf);
    std::size_t got = static_cast<std::size_t>(in.gcount());
    if (content.size() + got > max_bytes) return std::nullopt;
    content.append(buf, got);
  }
  if (in.bad()) return std::nullopt;
  return content;
}

}  // namespace velk
