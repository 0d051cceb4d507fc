#include "wfp/engine_path.h"

#include <utility>

namespace velk {

std::optional<std::filesystem::path> EnginePathSlot::get() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void EnginePathSlot::set(std::optional<std::filesystem::path> path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
}

EnginePathSlot& process_engine_path_slot() {
  static EnginePathSlot slot;
  return slot;
}

void set_published_engine_path(std::optional<std::filesystem::path> path) {
  process_engine_path_slot().set(std::move(path));
}

std::optional<std::filesystem::path> published_engine_path() { return process_engine_path_slot().get(); }

}  // namespace velk
