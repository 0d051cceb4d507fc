// FwpmGetAppIdFromFileName0 gives the lower-cased device path as UTF-16 with its NUL.

#include <cwctype>
#include <fstream>

#include "standin_support.h"

namespace velk::test {
namespace {

std::wstring blob_text(const FWP_BYTE_BLOB* b) {
  return std::wstring(reinterpret_cast<const wchar_t*>(b->data), b->size / sizeof(wchar_t));
}

class AppId : public StandinTest {};

TEST_F(AppId, IsTheLowerCaseDevicePathWithItsNul) {
  const auto exe = dir_.path() / L"Velk Engine.EXE";
  std::ofstream(exe) << "x";
  const std::wstring full = exe.wstring();
  ASSERT_EQ(full[1], L':');

  FWP_BYTE_BLOB* blob = nullptr;
  ASSERT_EQ(FwpmGetAppIdFromFileName0(full.c_str(), &blob), 0u);
  ASSERT_NE(blob, nullptr);
  ASSERT_EQ(blob->size % 2, 0u);
  const std::wstring text = blob_text(blob);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), L'\0');
  const std::wstring path = text.substr(0, text.size() - 1);
  const int volume = (full[0] | 0x20) - L'a' + 1;
  std::wstring expected = L"\\device\\harddiskvolume" + std::to_wstring(volume) + full.substr(2);
  for (auto& c : expected) c = static_cast<wchar_t>(std::towlower(c));
  EXPECT_EQ(path, expected);
  EXPECT_EQ(path.substr(path.size() - 16), L"\\velk engine.exe");

  // Another spelling of the same file gives the same id.
  std::wstring upper = full;
  for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  FWP_BYTE_BLOB* again = nullptr;
  ASSERT_EQ(FwpmGetAppIdFromFileName0(upper.c_str(), &again), 0u);
  EXPECT_EQ(blob_text(again), text);

  FwpmFreeMemory0(reinterpret_cast<void**>(&blob));
  FwpmFreeMemory0(reinterpret_cast<void**>(&again));
  EXPECT_EQ(blob, nullptr);
  EXPECT_EQ(again, nullptr);
}

TEST_F(AppId, AMissingFileHasNone) {
  FWP_BYTE_BLOB* blob = nullptr;
  const std::wstring missing = (dir_.path() / L"absent.exe").wstring();
  EXPECT_EQ(FwpmGetAppIdFromFileName0(missing.c_str(), &blob), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(blob, nullptr);
  EXPECT_EQ(FwpmGetAppIdFromFileName0(L"", &blob), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace velk::test
