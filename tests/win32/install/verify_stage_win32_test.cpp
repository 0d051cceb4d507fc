// Stage verification with the real Windows file calls: files that other
// processes hold open, and names outside ASCII.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "install/manifest.h"
#include "platform/unique_handle_win32.h"
#include "temp_dir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

UniqueHandle open_elsewhere(const fs::path& p, DWORD access, DWORD share) {
  return UniqueHandle(::CreateFileW(p.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

class Win32Stage : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(temp_.path() / "velkvpn-helper.exe", "");
    write_file(temp_.path() / L"donn\u00e9es.bin", "abc");
    write_file(temp_.path() / "install-manifest.txt",
               kEmptyDigest + "  0  velkvpn-helper.exe\r\n" + kAbcDigest +
                   "  3  donn\xC3\xA9" "es.bin\r\n");
  }
  test::TempDir temp_;
};

TEST_F(Win32Stage, ReadsAndVerifiesWithNonAsciiNames) {
  auto entries = read_manifest(temp_.path());
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[1].name, "donn\xC3\xA9" "es.bin");
  EXPECT_TRUE(verify_stage(temp_.path(), *entries));
}

// A hard link: two names, one file ID.
TEST_F(Win32Stage, TwoNamesOfOneFileAreRejected) {
  ASSERT_TRUE(::CreateHardLinkW((temp_.path() / L"other.bin").c_str(), (temp_.path() / L"donn\u00e9es.bin").c_str(), nullptr));
  EXPECT_FALSE(verify_stage(temp_.path(), {{"donn\xC3\xA9" "es.bin", kAbcDigest, 3}, {"other.bin", kAbcDigest, 3}}));
}

TEST_F(Win32Stage, FilesOpenForWritingOrDeletingElsewhereAreStillRead) {
  auto entries = read_manifest(temp_.path());
  ASSERT_TRUE(entries.has_value());
  const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  UniqueHandle writer = open_elsewhere(temp_.path() / L"donn\u00e9es.bin", GENERIC_WRITE, share_all);
  ASSERT_TRUE(writer.valid());
  UniqueHandle deleter = open_elsewhere(temp_.path() / "velkvpn-helper.exe", DELETE, share_all);
  ASSERT_TRUE(deleter.valid());
  EXPECT_TRUE(verify_stage(temp_.path(), *entries));
}

TEST_F(Win32Stage, AFileLockedAgainstReadersIsRejected) {
  auto entries = read_manifest(temp_.path());
  ASSERT_TRUE(entries.has_value());
  UniqueHandle exclusive = open_elsewhere(temp_.path() / L"donn\u00e9es.bin", GENERIC_READ, 0);
  ASSERT_TRUE(exclusive.valid());
  EXPECT_FALSE(verify_stage(temp_.path(), *entries));
  exclusive.reset();
  EXPECT_TRUE(verify_stage(temp_.path(), *entries));
}

TEST_F(Win32Stage, DamagedFileIsRejected) {
  auto entries = read_manifest(temp_.path());
  ASSERT_TRUE(entries.has_value());
  write_file(temp_.path() / L"donn\u00e9es.bin", "abd");
  EXPECT_FALSE(verify_stage(temp_.path(), *entries));
}

}  // namespace
}  // namespace velk
