#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "install/manifest.h"
#include "platform/sha256.h"
#include "temp_dir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kMillionADigest = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

void write_file(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

class Stage : public ::testing::Test {
 protected:
  // A stage holding the helper (empty), abc.txt and a million 'a' (many chunks).
  void SetUp() override {
    write_file(dir() / "velkvpn-helper.exe", "");
    write_file(dir() / "abc.txt", "abc");
    write_file(dir() / "big.bin", std::string(1000000, 'a'));
  }
  const fs::path& dir() const { return temp_.path(); }
  std::string manifest() const {
    return kEmptyDigest + "  0  velkvpn-helper.exe\n" + kAbcDigest + "  3  abc.txt\n" +
           kMillionADigest + "  1000000  big.bin\n";
  }
  test::TempDir temp_;
};

TEST_F(Stage, AcceptsIntactFiles) {
  write_file(dir() / "install-manifest.txt", manifest());
  auto entries = read_manifest(dir());
  ASSERT_TRUE(entries.has_value());
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_TRUE(verify_stage(dir(), *entries));
}

TEST_F(Stage, UpperCaseDigestsMatch) {
  std::string text = manifest();
  for (std::size_t line = 0; line < text.size(); line = text.find('\n', line) + 1) {
    for (std::size_t i = line; i < line + 64; ++i) {
      if (text[i] >= 'a' && text[i] <= 'f') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    }
  }
  auto entries = parse_manifest(text);
  ASSERT_TRUE(entries.has_value());
  EXPECT_TRUE(verify_stage(dir(), *entries));
}

TEST_F(Stage, RejectsEveryFault) {
  auto entries = parse_manifest(manifest());
  ASSERT_TRUE(entries.has_value());
  ASSERT_TRUE(verify_stage(dir(), *entries));

  struct Fault {
    const char* what;
    void (*apply)(const fs::path&);
  };
  const Fault faults[] = {
      {"same size, other bytes", [](const fs::path& d) { write_file(d / "abc.txt", "abd"); }},
      {"last chunk damaged",
       [](const fs::path& d) { write_file(d / "big.bin", std::string(999999, 'a') + "b"); }},
      {"longer", [](const fs::path& d) { write_file(d / "abc.txt", "abcd"); }},
      {"shorter", [](const fs::path& d) { write_file(d / "big.bin", std::string(999999, 'a')); }},
      {"missing", [](const fs::path& d) { fs::remove(d / "abc.txt"); }},
      {"a directory", [](const fs::path& d) {
         fs::remove(d / "abc.txt");
         fs::create_directory(d / "abc.txt");
       }},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    test::TempDir other;
    for (const char* name : {"velkvpn-helper.exe", "abc.txt", "big.bin"}) {
      fs::copy_file(dir() / name, other.path() / name);
    }
    f.apply(other.path());
    EXPECT_FALSE(verify_stage(other.path(), *entries));
  }
}

TEST_F(Stage, RejectsAWrongSizeEvenWithTheRightDigest) {
  auto entries = parse_manifest(kEmptyDigest + "  1  velkvpn-helper.exe");
  ASSERT_TRUE(entries.has_value());
  EXPECT_FALSE(verify_stage(dir(), *entries));
}

TEST_F(Stage, FollowsLinks) {
  fs::create_symlink(dir() / "abc.txt", dir() / "link.txt");
  std::vector<ManifestEntry> entries{{"link.txt", kAbcDigest, 3}};
  EXPECT_TRUE(verify_stage(dir(), entries));
}

// Two names of one file (a hard link here; on Windows also letter cases
// matched beyond the folded ranges) are one file listed twice.
TEST_F(Stage, RejectsTwoNamesOfOneFile) {
  fs::create_hard_link(dir() / "abc.txt", dir() / "abc-too.txt");
  EXPECT_FALSE(verify_stage(dir(), {{"abc.txt", kAbcDigest, 3}, {"abc-too.txt", kAbcDigest, 3}}));
}

TEST_F(Stage, UnreadableOrBadManifestIsRejected) {
  EXPECT_FALSE(read_manifest(dir()).has_value());  // no manifest
  EXPECT_FALSE(read_manifest(dir() / "nowhere").has_value());
  write_file(dir() / "install-manifest.txt", manifest() + "\xFF\n");
  EXPECT_FALSE(read_manifest(dir()).has_value());
  write_file(dir() / "install-manifest.txt", kAbcDigest + "  3  abc.txt\n");
  EXPECT_FALSE(read_manifest(dir()).has_value());  // no helper entry, files intact
  fs::remove(dir() / "install-manifest.txt");
  fs::create_directory(dir() / "install-manifest.txt");
  EXPECT_FALSE(read_manifest(dir()).has_value());
}

}  // namespace
}  // namespace velk
