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
//   - a power cut loses every name change since the last flush or rename and
//     leaves every file written but not flushed torn (its first half):
//     after_power_cut(). Of the journal's possible prefixes it keeps the
//     shortest; a crash keeps the longest.
// write_flushed is three steps (create or truncate, write, flush); replace
// and remove are one each. Every step is reported to the hook.

#include <cstddef>
#include <functional>
#include <map>
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

  // Starts with `files` on disk.
  explicit MemoryStateFiles(const Image& files = {});

  void on_step(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }
  Image after_crash() const;
  Image after_power_cut() const;

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
  void commit_journal() { durable_names_ = names_; }

  std::vector<Node> nodes_;  // never shrinks: a name on disk may still point at a deleted node
  std::map<std::string, std::size_t, std::less<>> names_;
  std::map<std::string, std::size_t, std::less<>> durable_names_;
  std::function<void(const std::string&)> hook_;
};

}  // namespace velk::test
