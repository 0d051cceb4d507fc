// The stage maker against the installer's own reader: a folder whose names
// the installer would refuse, or read as other names, or that holds more
// than files, gives no stage at all; a folder it accepts gives a stage that
// passes the installer's check, its manifest in a fixed order.

#include "make_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "install/manifest.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "temp_dir.h"

namespace velk::test {
namespace {

namespace fs = std::filesystem;

const std::string kHelper(kHelperFileName);

// Each file holds its own name.
std::string line_for(const std::string& name) {
  return *sha256_hex(name) + "  " + std::to_string(name.size()) + "  " + name + "\r\n";
}

struct Made {
  std::optional<std::string> refusal;
  std::string manifest;
  bool stage_exists = false;
  bool stage_passes = false;
};

Made make(const std::vector<std::string>& files, const std::vector<std::string>& folders = {}) {
  TempDir dir;
  const fs::path folder = dir.path() / "release";
  const fs::path stage = dir.path() / "out" / ".update-new";
  fs::create_directories(folder);
  for (const std::string& name : files) std::ofstream(folder / path_from_utf8(name), std::ios::binary) << name;
  for (const std::string& name : folders) fs::create_directories(folder / path_from_utf8(name) / "inner");
  Made made;
  made.refusal = make_stage(folder, stage, made.manifest);
  made.stage_exists = fs::exists(stage);
  std::optional<std::vector<ManifestEntry>> entries = read_manifest(stage);
  made.stage_passes = entries && verify_stage(stage, *entries);
  return made;
}

TEST(MakeStage, RefusesWhatTheInstallerRefusesAndLeavesNoStage) {
  struct Row {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    const char* named;  // the name the reason gives
  };
  const std::vector<Row> rows{
      {"an installer folder's name", {kHelper, ".update-old"}, {}, ".update-old"},
      {"not UTF-8", {kHelper, "caf\xE9.txt"}, {}, "caf\xE9.txt"},
      {"one file to Windows", {kHelper, "readme.txt", "README.TXT"}, {}, "readme.txt"},
      {"read without its trailing space", {kHelper, "notes.txt "}, {}, "notes.txt "},
      {"no helper", {"velkvpn-engine.exe"}, {}, "velkvpn-helper.exe"},
      {"a folder inside", {kHelper, "a.dll"}, {"data"}, "data"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Made made = make(row.files, row.folders);
    ASSERT_TRUE(made.refusal);
    EXPECT_NE(made.refusal->find(row.named), std::string::npos) << *made.refusal;
    EXPECT_FALSE(made.stage_exists);
  }
}

// Names Windows treats specially: whatever the installer's reader decides
// about a manifest naming one of them, the stage maker decides the same.
TEST(MakeStage, JudgesSpecialNamesAsTheReaderDoes) {
  for (const std::string name : {"velkvpn-helper.exe.", "VELKVP~1.EXE", "CON", "nul.txt", "com1", "a.dll.."}) {
    SCOPED_TRACE(name);
    const bool reader_refuses = !parse_manifest(line_for(kHelper) + line_for(name));
    Made made = make({kHelper, name});
    EXPECT_EQ(made.refusal.has_value(), reader_refuses) << made.refusal.value_or("made");
    EXPECT_EQ(made.stage_passes, !reader_refuses);
  }
}

TEST(MakeStage, MakesAStageTheInstallerAcceptsWithEveryNameKept) {
  const std::vector<std::string> files{"velkvpn-engine.exe", kHelper, "donn\xC3\xA9" "es.bin", "a  b.txt", "Zeta.dll"};
  Made made = make(files);
  ASSERT_FALSE(made.refusal) << *made.refusal;
  EXPECT_TRUE(made.stage_passes);
  std::vector<std::string> others{"velkvpn-engine.exe", "donn\xC3\xA9" "es.bin", "a  b.txt", "Zeta.dll"};
  std::sort(others.begin(), others.end());
  std::string expected = line_for(kHelper);  // the helper first, then in byte order
  for (const std::string& name : others) expected += line_for(name);
  EXPECT_EQ(made.manifest, expected);
}

}  // namespace
}  // namespace velk::test
