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

}  // namespace

bool swap_marked(StateFiles& state, const std::filesystem::path& install_dir) {
  std::optional<std::string> mark = state.read(kSwapMarkName, kMarkMaxBytes);
  return mark && is_valid_utf8(*mark) && fold_file_name(*mark) == fold_file_name(mark_text(install_dir));
}

bool mark_swap(StateFiles& state, const std::filesystem::path& install_dir) {
  return state.write_flushed(kSwapMarkName, mark_text(install_dir));
}

void clear_swap_mark(StateFiles& state) {
  if (state.kind(kSwapMarkName) == StateEntry::missing) return;
  (void)state.write_flushed(kSwapMarkName, "");
  (void)state.remove(kSwapMarkName);
}

}  // namespace velk
