#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install/manifest.h"

namespace velk {
namespace {

const std::string kEmptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kHelperLine = kEmptyDigest + "  0  velkvpn-helper.exe";
const ManifestEntry kHelper{"velkvpn-helper.exe", kEmptyDigest, 0};

std::string upper(std::string s) {
  for (char& c : s) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

struct Accepted {
  std::string text;
  std::vector<ManifestEntry> expected;
};

TEST(ParseManifest, LineRules) {
  const std::vector<Accepted> cases = {
      {kHelperLine, {kHelper}},
      {kHelperLine + "\n", {kHelper}},
      {kHelperLine + "\r\n", {kHelper}},
      {"\n\n   \n\t\r\n" + kHelperLine + "\n\n \n", {kHelper}},
      // Unicode white space around a line: tab, ideographic space, no-break space, NEL.
      {"\t\xE3\x80\x80" + kHelperLine + " \xC2\xA0\xC2\x85\n", {kHelper}},
      {upper(kEmptyDigest) + "  0  velkvpn-helper.exe", {kHelper}},
      {kEmptyDigest + "  +0  velkvpn-helper.exe", {kHelper}},
      {kEmptyDigest + "  000  velkvpn-helper.exe", {kHelper}},
      // Only the first two double spaces split; the name keeps the rest.
      {kHelperLine + "\n" + kAbcDigest + "  3  my  file.txt",
       {kHelper, {"my  file.txt", kAbcDigest, 3}}},
      {kHelperLine + "\n" + kAbcDigest + "  3   spaced.txt",
       {kHelper, {" spaced.txt", kAbcDigest, 3}}},
      {kHelperLine + "\n" + kAbcDigest + "  3  a  b  c", {kHelper, {"a  b  c", kAbcDigest, 3}}},
      // File order is kept, CRLF and LF may mix, the last line needs no line feed.
      {kAbcDigest + "  18446744073709551615  big.bin\r\n" + kHelperLine + "\n" + kAbcDigest +
           "  +42  caf\xC3\xA9.txt",
       {{"big.bin", kAbcDigest, 18446744073709551615ull}, kHelper, {"caf\xC3\xA9.txt", kAbcDigest, 42}}},
      // Dots inside a name are fine.
      {kHelperLine + "\n" + kAbcDigest + "  3  ..a", {kHelper, {"..a", kAbcDigest, 3}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto entries = parse_manifest(c.text);
    ASSERT_TRUE(entries.has_value());
    EXPECT_EQ(*entries, c.expected);
  }
}

TEST(ParseManifest, RejectsTheWholeManifestForOneBadLine) {
  const std::string d = kAbcDigest;
  const std::vector<std::string> bad_lines = {
      // Separators.
      d + " 3 a.txt", d + "  3 a.txt", d + " 3  a.txt", d + "\t3\ta.txt", d + "   3  a.txt",
      d + "  3", d + "  3  ", d,
      // Digest.
      d.substr(1) + "  3  a.txt", d + "0  3  a.txt", "g" + d.substr(1) + "  3  a.txt",
      "0x" + d.substr(2) + "  3  a.txt",
      // Size.
      d + "  -3  a.txt", d + "  -0  a.txt", d + "    a.txt", d + "  +  a.txt", d + "  ++3  a.txt",
      d + "  3 4  a.txt", d + "  0x10  a.txt", d + "  3.0  a.txt", d + "  1e3  a.txt",
      d + "  18446744073709551616  a.txt", d + "  99999999999999999999999  a.txt",
      d + "  \xEF\xBC\x93  a.txt",  // a full-width digit
      // Name.
      d + "  3  dir/a.txt", d + "  3  dir\\a.txt", d + "  3  C:a.txt", d + "  3  a.txt:stream",
      d + "  3  .", d + "  3  ..", d + "  3  /", d + "  3  " + std::string("a\0b", 3),
      // Names Windows takes for another file: a trailing dot, a short name,
      // a device (with or without an extension, in any case).
      d + "  3  a.txt.", d + "  3  a.txt. .", d + "  3  VELKVP~1.EXE", d + "  3  UPDATE~1", d + "  3  CON",
      d + "  3  nul.txt", d + "  3  Aux.tar.gz", d + "  3  PRN", d + "  3  com1", d + "  3  COM9.dll",
      d + "  3  lpt1.log", d + "  3  LPT0", d + "  3  COM\xC2\xB9.txt", d + "  3  nul .txt", d + "  3  conin$",
  };
  for (const auto& line : bad_lines) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(parse_manifest(kHelperLine + "\n" + line + "\n").has_value());
    EXPECT_FALSE(parse_manifest(line + "\r\n" + kHelperLine).has_value());
  }
}

TEST(ParseManifest, NamesNearDeviceNamesStayFiles) {
  for (const char* name : {"console.dll", "com10.dll", "lpt.txt", "nul-check.exe", "a.nul", "a .txt"}) EXPECT_TRUE(is_acceptable_name(name)) << name;
}

TEST(ParseManifest, WholeFileRules) {
  const std::vector<std::string> rejected = {
      "",
      "\n\r\n  \n",
      kAbcDigest + "  3  a.txt\n",  // no helper entry
      kEmptyDigest + "  0  VelkVpn-Helper.exe",
      kEmptyDigest + "  0  velkvpn-helper.exe.bak",
      kHelperLine + "\n" + kAbcDigest + "  3  caf\xE9.txt",  // not UTF-8
      kHelperLine + "\n\xC0\xAF",                           // overlong slash
      "\xEF\xBB\xBF" + kHelperLine,  // a byte-order mark is not white space
      // One file named twice, as Windows compares names: exactly, or in another
      // letter case (ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic).
      kHelperLine + "\n" + kHelperLine,
      kHelperLine + "\n" + kEmptyDigest + "  0  VELKVPN-HELPER.EXE",
      kHelperLine + "\n" + kAbcDigest + "  3  donn\xC3\xA9" "es.bin\n" + kAbcDigest + "  3  DONN\xC3\x89" "ES.BIN",
      kHelperLine + "\n" + kAbcDigest + "  3  \xC5\x82\n" + kAbcDigest + "  3  \xC5\x81",           // ł Ł
      kHelperLine + "\n" + kAbcDigest + "  3  \xD1\x8F\xD1\x91\n" + kAbcDigest + "  3  \xD0\xAF\xD0\x81",  // яё ЯЁ
      // The installer's own names in the install directory.
      kHelperLine + "\n" + kAbcDigest + "  3  .update-old",
      kHelperLine + "\n" + kAbcDigest + "  3  .Update-Trash-1",
      kHelperLine + "\n" + kAbcDigest + "  3  Install-Manifest.txt",
  };
  for (const auto& text : rejected) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_manifest(text).has_value());
  }
}

}  // namespace
}  // namespace velk
