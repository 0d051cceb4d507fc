// The installer's file operations with the real Windows calls: what another
// process holding a file does to renames and exclusive opens, listing,
// nested directories, and the install log's sharing.

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "install/file_steps.h"
#include "install/install_files.h"
#include "install/install_log.h"
#include "platform/state_dir.h"
#include "platform/unique_handle_win32.h"
#include "manual_clock.h"
#include "temp_dir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

UniqueHandle hold(const fs::path& p, DWORD share) {
  return UniqueHandle(CreateFileW(p.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

class Win32InstallFiles : public ::testing::Test {
 protected:
  std::unique_ptr<InstallFiles> files_ = system_install_files();
  test::TempDir temp_;
  fs::path at(const wchar_t* name) const { return temp_.path() / name; }
};

TEST_F(Win32InstallFiles, RenameReplacesAndReportsHeldFiles) {
  write_file(at(L"a"), "new");
  write_file(at(L"b"), "old");
  EXPECT_FALSE(files_->rename(at(L"a"), at(L"b"), RenameSync::write_through));
  EXPECT_EQ(read_file(at(L"b")), "new");

  UniqueHandle held = hold(at(L"b"), FILE_SHARE_READ);  // no delete sharing: cannot be moved
  ASSERT_TRUE(held);
  const FileError e = files_->rename(at(L"b"), at(L"c"), RenameSync::write_through);
  EXPECT_TRUE(e.code == win32_error::kSharingViolation || e.code == win32_error::kAccessDenied) << e.code;
  EXPECT_FALSE(files_->remove_file(at(L"b")));
  EXPECT_TRUE(files_->delete_at_restart(at(L"b"))) << "the system takes it for the next restart";
  held.reset();
  EXPECT_EQ(files_->rename(at(L"missing"), at(L"c"), RenameSync::cached).code, win32_error::kFileNotFound);
}

TEST_F(Win32InstallFiles, ExclusiveOpenSeesAFileHeldOpen) {
  write_file(at(L"wintun.dll"), "x");
  EXPECT_FALSE(files_->open_exclusive(at(L"wintun.dll")));
  UniqueHandle held = hold(at(L"wintun.dll"), FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_EQ(files_->open_exclusive(at(L"wintun.dll")).code, win32_error::kSharingViolation);
  test::ManualClock clock;
  auto busy = [&] { return find_busy_file(*files_, clock, temp_.path(), {"absent.exe", "wintun.dll"}, [] {}); };
  EXPECT_EQ(busy(), "wintun.dll");
  held.reset();
  EXPECT_EQ(busy(), std::nullopt);
}

// What the swap must not take for "nothing to move" or for a saved directory.
TEST_F(Win32InstallFiles, AFileIsNoDirectoryAndAMissingDirectoryIsNoMissingFile) {
  write_file(at(L".update-old"), "a file");
  EXPECT_EQ(files_->create_private_directory(at(L".update-old")).code, win32_error::kAlreadyExists);
  EXPECT_EQ(files_->rename(at(L".update-old"), at(L"none") / L"x", RenameSync::write_through).code, win32_error::kPathNotFound);
}

TEST_F(Win32InstallFiles, DirectoriesAndListing) {
  const fs::path deep = temp_.path() / L"x y" / L".update-old";
  EXPECT_EQ(files_->create_private_directory(deep).code, win32_error::kPathNotFound) << "only in an existing parent";
  fs::create_directories(deep.parent_path());
  EXPECT_FALSE(files_->create_private_directory(deep));
  EXPECT_FALSE(files_->create_private_directory(deep)) << "existing is fine";
  write_file(deep / L"donn\u00e9es.bin", "1");
  EXPECT_EQ(files_->list(deep), std::optional<std::vector<std::string>>({"donn\xC3\xA9" "es.bin"}));
  EXPECT_FALSE(files_->list(temp_.path() / L"none"));
  EXPECT_FALSE(files_->remove_directory(deep)) << "not empty";
  EXPECT_TRUE(files_->remove_file(deep / L"donn\u00e9es.bin"));
  EXPECT_TRUE(files_->remove_directory(deep));
}

TEST_F(Win32InstallFiles, InstallLogIsSharedAndAppended) {
  const fs::path state = temp_.path() / L"VELK VPN";
  {
    InstallLog first = open_install_log(open_state_dir(state, StateDirUse::given_dir).files, {});
    // A reader or a second run meanwhile, through the same directory held twice.
    InstallLog second = open_install_log(open_state_dir(state, StateDirUse::given_dir).files, {});
    ASSERT_TRUE(first.has_file() && second.has_file());
    first.log("one");
    second.log("two");
  }
  EXPECT_EQ(read_file(state / L"install.log"), "one\ntwo\n");
}

// The access-list calls run for real (Wine keeps no descriptors, so what
// they grant is proven natively through the fake).
TEST_F(Win32InstallFiles, PrivateFilesAndAccessLists) {
  EXPECT_FALSE(files_->create_private_directory(at(L".update-old")));
  const fs::path mark = at(L".update-swap.pending");
  EXPECT_FALSE(files_->write_private(mark, "first"));
  EXPECT_FALSE(files_->write_private(mark, "again")) << "replaces the one there";
  EXPECT_FALSE(fs::exists(at(L".update-swap.pending.tmp")));
  std::optional<SecuredFile> read = files_->read_secured(mark, 100);
  ASSERT_TRUE(read && read->security);
  EXPECT_EQ(std::make_pair(read->bytes, read->links), std::make_pair(std::string("again"), 1u));
  // Under Wine the descriptor is made up, owned by this process's account (trusted).
  EXPECT_TRUE(is_private(*read->security, files_->emulated_owner()));
  EXPECT_FALSE(files_->read_secured(at(L".update-old"), 100)) << "a directory";
  std::optional<FileSecurity> dir = files_->security(temp_.path());
  ASSERT_TRUE(dir && files_->emulated_owner());
  EXPECT_EQ(why_others_can_change(*dir, files_->emulated_owner()), std::nullopt);
}

}  // namespace
}  // namespace velk
