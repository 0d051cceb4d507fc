#include "platform/state_files.h"

#include <system_error>
#include <utility>

#include "platform/text.h"

namespace velk {
namespace {

class PathStateFiles final : public StateFiles {
 public:
  explicit PathStateFiles(std::filesystem::path dir) : dir_(std::move(dir)) {}

  StateEntry kind(std::string_view name) override {
    std::error_code ec;
    const auto type = std::filesystem::symlink_status(at(name), ec).type();
    if (type == std::filesystem::file_type::not_found) return StateEntry::missing;
    if (ec) return StateEntry::other;
    return type == std::filesystem::file_type::regular ? StateEntry::file : StateEntry::other;
  }

  std::optional<std::string> read(std::string_view name, std::size_t max_bytes) override {
    if (kind(name) != StateEntry::file) return std::nullopt;
    return read_small_file(at(name), max_bytes);
  }

  bool write_flushed(std::string_view name, std::string_view bytes) override {
    if (kind(name) == StateEntry::other) return false;
    std::error_code ec;
    // A missing directory is made private to this account, never with the
    // access its parent would hand down.
    if (!std::filesystem::exists(dir_, ec)) {
      std::filesystem::create_directories(dir_, ec);
      if (ec) return false;
      std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
      if (ec) return false;
    }
    return write_file_flushed(at(name), bytes);
  }

  bool replace(std::string_view from, std::string_view to) override { return replace_file(at(from), at(to)); }

  DeleteResult remove(std::string_view name) override {
    switch (kind(name)) {
      case StateEntry::missing: return DeleteResult::not_found;
      case StateEntry::file: return delete_file(at(name));
      case StateEntry::other: break;
    }
    std::error_code ec;
    if (std::filesystem::remove(at(name), ec)) return DeleteResult::deleted;
    return ec ? DeleteResult::failed : DeleteResult::not_found;
  }

 private:
  std::filesystem::path at(std::string_view name) const { return dir_ / path_from_utf8(name); }

  const std::filesystem::path dir_;
};

}  // namespace

std::shared_ptr<StateFiles> state_files_at(std::filesystem::path dir) {
  return std::make_shared<PathStateFiles>(std::move(dir));
}

}  // namespace velk
