#include "install/swap_mark.h"

#include <optional>
#include <string>

#include "install/manifest.h"
#include "platform/text.h"

namespace velk {
namespace {

constexpr std::size_t kMarkMaxBytes = 65536;

// The directory as the mark names it: one spelling for "C:\X\" and "c:\x".
std::string mark_text(const std::filesystem::path& install_dir) {
  std::filesystem::path dir = install_dir.lexically_normal();
  if (!dir.has_filename() && dir.has_relative_path()) dir = dir.parent_path();
  return utf8_from_path(dir);
}

bool names(const std::optional<std::string>& mark, const std::filesystem::path& install_dir) {
  return mark && is_valid_utf8(*mark) && fold_file_name(*mark) == fold_file_name(mark_text(install_dir));
}

std::filesystem::path mark_file(const std::filesystem::path& install_dir) {
  return install_dir / path_from_utf8(kSwapMarkFileName);
}

// The install directory's mark, when it is one nobody else can have written or can open.
std::optional<std::string> protected_mark(InstallFiles& files, const std::filesystem::path& install_dir) {
  std::optional<SecuredFile> found = files.read_secured(mark_file(install_dir), kMarkMaxBytes);
  if (!found || found->links != 1 || !found->security || !is_private(*found->security, files.emulated_owner())) {
    return std::nullopt;
  }
  return std::move(found->bytes);
}

}  // namespace

bool swap_marked(StateFiles& state, InstallFiles& files, const std::filesystem::path& install_dir) {
  if (names(protected_mark(files, install_dir), install_dir)) return true;
  return state.helpers_own() && names(state.read(kSwapMarkName, kMarkMaxBytes), install_dir);
}

FileError mark_swap(InstallFiles& files, const std::filesystem::path& install_dir) {
  return files.write_private(mark_file(install_dir), mark_text(install_dir));
}

void clear_swap_mark(StateFiles& state, InstallFiles& files, const std::filesystem::path& install_dir) {
  // Written empty whether or not a mark is seen: a failed look must not leave one.
  const std::filesystem::path file = mark_file(install_dir);
  (void)files.write_private(file, "");
  (void)files.remove_file(file);
  if (!state.helpers_own() || state.kind(kSwapMarkName) == StateEntry::missing) return;
  (void)state.write_flushed(kSwapMarkName, "");
  (void)state.remove(kSwapMarkName);
}

}  // namespace velk
