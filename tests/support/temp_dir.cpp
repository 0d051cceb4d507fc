#include "temp_dir.h"

#include <atomic>
#include <fstream>
#include <sstream>
#include <chrono>
#include <string>
#include <system_error>

namespace velk::test {

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  path_ = std::filesystem::temp_directory_path() /
          ("velk-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::map<std::string, std::string> tree_of(const std::filesystem::path& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string bytes = "(directory)";
    if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      std::stringstream s;
      s << in.rdbuf();
      bytes = s.str();
    }
    out[std::filesystem::relative(it->path(), dir).generic_string()] = bytes;
  }
  return out;
}

}  // namespace velk::test
