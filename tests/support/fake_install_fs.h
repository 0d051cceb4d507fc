#pragma once
// The installer's file operations on a real directory, with every call
// numbered by the fault plan (the failing one gives an error that is not
// retried) and files that can be made busy as if another process held them.
// Deletions for the next restart are recorded; renames that write through reported.
//
// Access lists are modelled as Windows keeps them: a renamed file keeps its
// own list (it is not worked out again on a rename within a volume); a file
// the test writes has the install directory's, which lets users read it; a
// private one (make_private, write_private) lets no user open it.

#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>

#include "fault_plan.h"
#include "install/install_files.h"

namespace velk::test {

class FakeInstallFs final : public InstallFiles {
 public:
  explicit FakeInstallFs(FaultPlan& plan) : plan_(plan), real_(system_install_files()) {}

  FileError rename(const std::filesystem::path& from, const std::filesystem::path& to, RenameSync sync) override;
  bool exists(const std::filesystem::path& path) override;
  std::optional<std::vector<std::string>> list(const std::filesystem::path& dir) override;
  FileError create_private_directory(const std::filesystem::path& dir) override;
  FileError open_exclusive(const std::filesystem::path& path) override;
  bool remove_file(const std::filesystem::path& path) override;
  bool remove_directory(const std::filesystem::path& dir) override;
  bool delete_at_restart(const std::filesystem::path& path) override;
  std::optional<FileSecurity> security(const std::filesystem::path& path) override;
  bool make_private(const std::filesystem::path& path) override;
  bool make_inherited(const std::filesystem::path& path) override;
  FileError write_private(const std::filesystem::path& file, std::string_view bytes) override;
  std::optional<SecuredFile> read_secured(const std::filesystem::path& file, std::size_t max_bytes) override;
  std::optional<std::string> emulated_owner() override { return std::nullopt; }

  // Whether a user could open `path` (and hold it, so a rollback could not move it).
  bool users_may_open(const std::filesystem::path& path) const;

  // The file named so is held by another process: exclusive opens give a
  // sharing violation, renames give `rename_code`, deletions fail, `times`
  // times (-1: always).
  enum class Held { always, renames_only, deletions_only };  // deletions only: a read-only file
  struct Busy {
    int times = -1;
    std::uint32_t rename_code = win32_error::kSharingViolation;
    Held what = Held::always;
  };
  std::map<std::string, Busy> busy;
  int renames = 0;
  std::vector<std::filesystem::path> at_restart;
  std::function<void()> on_write_through;
  // What security() reports for a directory: by default a folder made under Program Files.
  FileSecurity directory_security = program_files_folder();
  static FileSecurity program_files_folder();

 private:
  enum class Op { open, rename, remove };
  bool held(const std::filesystem::path& path, std::uint32_t& code, Op op);

  FaultPlan& plan_;
  std::unique_ptr<InstallFiles> real_;
  std::set<std::filesystem::path> private_;  // files and directories no user may open
};

}  // namespace velk::test
