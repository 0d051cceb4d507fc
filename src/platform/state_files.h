#pragma once
// The files of the state directory (killswitch.json, killswitch.tmp and the
// like), reached by name inside one directory. The kill-switch store goes
// through this and never joins paths of its own, so the directory can be one
// held open by handle, a plain path, or an in-memory fake.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/durable_file.h"

namespace velk {

// A file opened for appending whole chunks; write errors are ignored.
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  virtual void append(std::string_view bytes) = 0;
};

// A file of the state directory held open without sharing; let go when destroyed.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
};

// What an attempt to hold a file without sharing found.
struct ExclusiveHold {
  enum class Outcome {
    held,          // `file` holds it
    in_use,        // someone else has it open
    failed,        // it cannot be opened or made (a link or a directory there, no rights, ...)
    no_directory,  // there is no state directory to hold anything in
  };
  Outcome outcome = Outcome::failed;
  std::unique_ptr<HeldFile> file;
};

// What stands at a name, seen without following a link there.
enum class StateEntry { missing, file, other };  // other: a directory, a link, anything else

class StateFiles {
 public:
  virtual ~StateFiles() = default;
  // Never follows a link: a link at `name` is `other`, whatever it points to.
  virtual StateEntry kind(std::string_view name) = 0;
  // The whole content of the regular file `name` of at most `max_bytes`;
  // absent when it is missing, no regular file, unreadable or larger.
  virtual std::optional<std::string> read(std::string_view name, std::size_t max_bytes) = 0;
  // Creates or truncates the regular file `name`, writes all of `bytes` and
  // flushes them to disk. False on any failure, and when `name` is no regular
  // file (nothing is written through a link).
  virtual bool write_flushed(std::string_view name, std::string_view bytes) = 0;
  // Renames `from` over `to` (replacing it) and returns once that reached the disk.
  virtual bool replace(std::string_view from, std::string_view to) = 0;
  // Removes `name`: a file, or a link or an empty directory itself (never
  // what a link points to).
  virtual DeleteResult remove(std::string_view name) = 0;
  // Opens the regular file `name` for appending, creating it when missing;
  // null when it cannot, and when a link or anything but a file stands there.
  virtual std::unique_ptr<AppendFile> open_append(std::string_view) { return nullptr; }
  // Opens the regular file `name`, creating it empty when missing, and holds
  // it so that nobody else can open it the same way while the result lives
  // (no sharing on Windows, an exclusive lock natively). Never through a link.
  virtual ExclusiveHold hold_exclusively(std::string_view) { return {}; }
  // Whether this is the helper's own default state directory, made or found
  // as the helper made it, which only LocalSystem and Administrators can write
  // and where no user can open a file; anything else is not.
  virtual bool helpers_own() const { return false; }
};

// hold_exclusively for the file at `path`, reached by path (state_files_*.cpp).
ExclusiveHold hold_exclusively_at(const std::filesystem::path& path);

// The files of the directory at `dir`, reached by path each time.
std::shared_ptr<StateFiles> state_files_at(std::filesystem::path dir);

// No directory at all (it could not be made safe): nothing is there, and
// nothing can be written, so an arming fails and a recovery finds no file.
std::shared_ptr<StateFiles> no_state_files();

// `files` seen through a window that reads and never writes, renames or removes.
std::shared_ptr<StateFiles> read_only_state_files(std::shared_ptr<StateFiles> files);

}  // namespace velk
