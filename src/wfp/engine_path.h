#pragma once
// The engine path slot: the engine executable whose application id the
// endpoint permits carry. The serving process publishes it once, before its
// server starts; in every other process (--recover, --arm-from-state, the
// installer) it stays empty, and an install with pins then fails.

#include <filesystem>
#include <mutex>
#include <optional>

namespace velk {

class EnginePathSlot {
 public:
  std::optional<std::filesystem::path> get() const;
  void set(std::optional<std::filesystem::path> path);

 private:
  mutable std::mutex mutex_;
  std::optional<std::filesystem::path> path_;
};

// The process-wide slot.
EnginePathSlot& process_engine_path_slot();

// Shorthands for the process-wide slot.
void set_published_engine_path(std::optional<std::filesystem::path> path);
std::optional<std::filesystem::path> published_engine_path();

}  // namespace velk
