#include "platform/state_files.h"

#include <fstream>
#include <system_error>
#include <utility>

#include "platform/text.h"

namespace velk {
namespace {

struct StreamAppendFile final : AppendFile {
  explicit StreamAppendFile(const std::filesystem::path& path) : out(path, std::ios::binary | std::ios::app) {}
  void append(std::string_view bytes) override {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
  }
  std::ofstream out;
};

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

  std::unique_ptr<AppendFile> open_append(std::string_view name) override {
    if (kind(name) == StateEntry::other) return nullptr;
    auto file = std::make_unique<StreamAppendFile>(at(name));
    if (!file->out) return nullptr;
    return file;
  }

  ExclusiveHold hold_exclusively(std::string_view name) override { return hold_exclusively_at(at(name)); }

 private:
  std::filesystem::path at(std::string_view name) const { return dir_ / path_from_utf8(name); }

  const std::filesystem::path dir_;
};

class NoStateFiles final : public StateFiles {
 public:
  StateEntry kind(std::string_view) override { return StateEntry::missing; }
  std::optional<std::string> read(std::string_view, std::size_t) override { return std::nullopt; }
  bool write_flushed(std::string_view, std::string_view) override { return false; }
  bool replace(std::string_view, std::string_view) override { return false; }
  DeleteResult remove(std::string_view) override { return DeleteResult::not_found; }
  ExclusiveHold hold_exclusively(std::string_view) override { return {ExclusiveHold::Outcome::no_directory, nullptr}; }
};

class ReadOnlyStateFiles final : public StateFiles {
 public:
  explicit ReadOnlyStateFiles(std::shared_ptr<StateFiles> files) : files_(std::move(files)) {}
  StateEntry kind(std::string_view name) override { return files_->kind(name); }
  std::optional<std::string> read(std::string_view name, std::size_t max_bytes) override {
    return files_->read(name, max_bytes);
  }
  bool write_flushed(std::string_view, std::string_view) override { return false; }
  bool replace(std::string_view, std::string_view) override { return false; }
  DeleteResult remove(std::string_view) override { return DeleteResult::failed; }

 private:
  const std::shared_ptr<StateFiles> files_;
};

}  // namespace

std::shared_ptr<StateFiles> no_state_files() { return std::make_shared<NoStateFiles>(); }

std::shared_ptr<StateFiles> read_only_state_files(std::shared_ptr<StateFiles> files) {
  return std::make_shared<ReadOnlyStateFiles>(std::move(files));
}

std::shared_ptr<StateFiles> state_files_at(std::filesystem::path dir) {
  return std::make_shared<PathStateFiles>(std::move(dir));
}

}  // namespace velk
