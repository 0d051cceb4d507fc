// velk-make-stage FOLDER STAGE: makes the stage an installer package unpacks
// (the files of FOLDER and install-manifest.txt) and prints the manifest.
// Exit codes: 0 made, 1 refused (the reason on standard error), 2 usage.

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "make_stage.h"

namespace {

int run(const std::filesystem::path& folder, const std::filesystem::path& stage) {
  std::string manifest;
  if (std::optional<std::string> refusal = velk::make_stage(folder, stage, manifest)) {
    (void)std::fprintf(stderr, "velk-make-stage: %s\n", refusal->c_str());
    return 1;
  }
  // What reads the manifest from here (scripts/make-stage.sh) must not get less.
  if (std::fwrite(manifest.data(), 1, manifest.size(), stdout) != manifest.size() || std::fflush(stdout) != 0) {
    (void)std::fputs("velk-make-stage: the stage is made, but its manifest could not be printed\n", stderr);
    return 1;
  }
  return 0;
}

constexpr const char* kUsage = "usage: velk-make-stage FOLDER STAGE\n";

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  // The manifest's lines end in CR LF already; the C runtime must add nothing.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc != 3) {
    (void)std::fputs(kUsage, stderr);
    return 2;
  }
  return run(argv[1], argv[2]);
}
#else
int main(int argc, char** argv) {
  if (argc != 3) {
    (void)std::fputs(kUsage, stderr);
    return 2;
  }
  return run(argv[1], argv[2]);
}
#endif
