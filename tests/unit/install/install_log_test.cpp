// The install log: each line to the output and appended to install.log.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "install/install_log.h"
#include "platform/state_dir.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

std::string read(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(InstallLog, LinesGoToOutputAndAreAppendedRunAfterRun) {
  TempDir tmp;
  const std::filesystem::path state = tmp.path() / "a" / "VELK VPN";
  std::string out;
  for (const char* line : {"install 0.1.8 into D", "result 0"}) {
    InstallLog log = open_install_log(open_state_dir(state, StateDirUse::given_dir).files,
                                      [&](std::string_view s) { out += s; });
    log.log(line);
  }
  EXPECT_EQ(out, "install 0.1.8 into D\nresult 0\n");
  EXPECT_EQ(read(state / "install.log"), "install 0.1.8 into D\nresult 0\n");
}

// No directory, or a link at the log's name: the lines reach the output only,
// and nothing is written through the link.
TEST(InstallLog, WithoutAUsableFileTheLinesGoToTheOutputOnly) {
  TempDir tmp;
  std::ofstream(tmp.path() / "file") << "x";
  std::filesystem::create_directories(tmp.path() / "state");
  std::filesystem::create_symlink(tmp.path() / "file", tmp.path() / "state" / "install.log");
  for (const auto& dir : {tmp.path() / "file" / "VELK VPN", tmp.path() / "state"}) {
    std::string out;
    InstallLog log = open_install_log(open_state_dir(dir, StateDirUse::given_dir).files,
                                      [&](std::string_view s) { out += s; });
    EXPECT_FALSE(log.has_file()) << dir;
    log.log("result 2");
    EXPECT_EQ(out, "result 2\n");
  }
  EXPECT_EQ(read(tmp.path() / "file"), "x");
}

}  // namespace
}  // namespace velk::test
