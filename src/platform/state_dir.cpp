#include "platform/state_dir.h"

#include <system_error>

#include "ipc/error_codes.h"

namespace velk {

Outcome prepare_state_dir(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) return fail(err::killswitch_failed);
  return {};
}

}  // namespace velk
