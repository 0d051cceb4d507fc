#include <cstdio>

#include "install/install_log.h"

namespace velk {
namespace {

class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(std::FILE* f) : f_(f) {}
  ~PosixLogFile() override { std::fclose(f_); }
  void append(std::string_view bytes) override {
    std::fwrite(bytes.data(), 1, bytes.size(), f_);
    std::fflush(f_);
  }

 private:
  std::FILE* f_;
};

}  // namespace

std::unique_ptr<LogFile> open_log_file(const std::filesystem::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) return nullptr;
  return std::make_unique<PosixLogFile>(f);
}

}  // namespace velk
