#include "memory_state_files.h"

namespace velk::test {

MemoryStateFiles::MemoryStateFiles(const Image& files) {
  for (const auto& [name, data] : files) names_[name] = add_node(data, true);
  commit_journal();
}

std::size_t MemoryStateFiles::add_node(std::string data, bool flushed) {
  nodes_.push_back(Node{std::move(data), flushed});
  return nodes_.size() - 1;
}

void MemoryStateFiles::step(std::string what) {
  if (hook_) hook_(what);
}

MemoryStateFiles::Image MemoryStateFiles::after_crash() const {
  Image image;
  for (const auto& [name, node] : names_) image[name] = nodes_[node].data;
  return image;
}

MemoryStateFiles::Image MemoryStateFiles::after_power_cut() const {
  Image image;
  for (const auto& [name, node] : durable_names_) {
    const Node& n = nodes_[node];
    image[name] = n.flushed ? n.data : n.data.substr(0, n.data.size() / 2);
  }
  return image;
}

StateEntry MemoryStateFiles::kind(std::string_view name) {
  return names_.contains(name) ? StateEntry::file : StateEntry::missing;
}

std::optional<std::string> MemoryStateFiles::read(std::string_view name, std::size_t max_bytes) {
  auto it = names_.find(name);
  if (it == names_.end() || nodes_[it->second].data.size() > max_bytes) return std::nullopt;
  return nodes_[it->second].data;
}

bool MemoryStateFiles::write_flushed(std::string_view name, std::string_view bytes) {
  std::size_t node;
  if (auto it = names_.find(name); it != names_.end()) {
    node = it->second;
    nodes_[node] = Node{"", false};
    step("truncate " + std::string(name));
  } else {
    node = add_node("", false);
    names_.emplace(std::string(name), node);
    step("create " + std::string(name));
  }
  nodes_[node].data = std::string(bytes);
  step("write " + std::string(name));
  nodes_[node].flushed = true;
  commit_journal();
  step("flush " + std::string(name));
  return true;
}

bool MemoryStateFiles::replace(std::string_view from, std::string_view to) {
  auto it = names_.find(from);
  if (it == names_.end()) return false;
  const std::size_t node = it->second;
  names_.erase(it);
  names_.insert_or_assign(std::string(to), node);
  commit_journal();
  step("rename " + std::string(from) + " over " + std::string(to));
  return true;
}

DeleteResult MemoryStateFiles::remove(std::string_view name) {
  auto it = names_.find(name);
  if (it == names_.end()) return DeleteResult::not_found;
  names_.erase(it);
  step("delete " + std::string(name));
  return DeleteResult::deleted;
}

}  // namespace velk::test
