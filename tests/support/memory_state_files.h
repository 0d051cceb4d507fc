#pragma once
// The state directory in memory, with a disk under it that a crash or a power
// cut can be played against.
//
// The model (of NTFS as the helper uses it): file data reaches the disk only
// when that file is flushed; names (create, rename, delete) go to an ordered
// metadata journal that reaches the disk at the next flush or write-through
// rename, together with everything journaled before it. So:
//   - a crash of the process loses nothing the calls did (the system's cache
//     survives it): after_crash() is the directory as it stands;
//   - a power cut keeps some prefix of the name changes since the last flush
//     or rename (after_power_cuts(): every one, shortest first;
//     after_power_cut(): the shortest) and leaves every file written but not
//     flushed torn (its first half); a crash keeps the longest.
// write_flushed is three steps (create or truncate, write, flush); replace
// and remove are one each. Every step is reported to the hook.
//
// Failures: any write, flush, rename or delete can be made to fail (the nth
// from now on, once or from then on), and a directory with something in it
// can stand at a name (kDirectory in an Image): not a file, nothing can be
// written to it, renamed over it or read from it, and it cannot be removed.

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/state_files.h"

namespace velk::test {

class MemoryStateFiles final : public StateFiles {
 public:
  // Name -> content, as a fresh process finds them.
  using Image = std::map<std::string, std::string>;
  // The content that marks a non-empty directory in an Image.
  static const std::string kDirectory;
  enum class Op { write, flush, rename, remove };

  // Starts with `files` on disk.
  explicit MemoryStateFiles(const Image& files = {});

  void on_step(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }
  Image after_crash() const;
  Image after_power_cut() const;
  std::vector<Image> after_power_cuts() const;

  // The nth call of `op` from now on fails; with `from_then_on` every later one too.
  void fail(Op op, int nth, bool from_then_on);
  void clear_failures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
  }
  // A non-empty directory stands at `name` from now on (whatever was there is gone).
  void put_directory(const std::string& name);
  // Calls of `op` so far.
  int calls(Op op) const;

  StateEntry kind(std::string_view name) override;
  std::optional<std::string> read(std::string_view name, std::size_t max_bytes) override;
  bool write_flushed(std::string_view name, std::string_view bytes) override;
  bool replace(std::string_view from, std::string_view to) override;
  DeleteResult remove(std::string_view name) override;

 private:
  struct Node {
    std::string data;
    bool flushed = true;
  };
  std::size_t add_node(std::string data, bool flushed);
  void step(std::string what);
  void commit_journal() {
    durable_names_ = names_;
    pending_.clear();
  }
  // A name change not on disk yet.
  void journal() { pending_.push_back(names_); }
  Image image_of(const std::map<std::string, std::size_t, std::less<>>& names) const;
  bool directory(std::string_view name) const;
  // Counts a call of `op`; true when it is to fail.
  bool fails(Op op);

  struct Failure {
    int countdown;
    bool from_then_on;
  };

  std::vector<Node> nodes_;  // never shrinks: a name on disk may still point at a deleted node
  std::map<std::string, std::size_t, std::less<>> names_;
  std::map<std::string, std::size_t, std::less<>> durable_names_;
  std::vector<std::map<std::string, std::size_t, std::less<>>> pending_;  // after each unflushed name change
  std::map<Op, Failure> failures_;
  std::map<Op, int> calls_;
  std::function<void(const std::string&)> hook_;
  // Every call holds it (the engine thread and the test's status reads meet
  // here); recursive, as the hook looks at the disk from inside a step.
  mutable std::recursive_mutex mutex_;
};

}  // namespace velk::test
