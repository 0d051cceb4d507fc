#include "memory_state_files.h"

namespace velk::test {

const std::string MemoryStateFiles::kDirectory = std::string("\0directory", 10);

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

void MemoryStateFiles::fail(Op op, int nth, bool from_then_on) {
  std::lock_guard lock(mutex_);
  failures_[op] = Failure{nth < 1 ? 1 : nth, from_then_on};
}

void MemoryStateFiles::put_directory(const std::string& name) {
  std::lock_guard lock(mutex_);
  names_[name] = add_node(kDirectory, true);
  commit_journal();
}

int MemoryStateFiles::calls(Op op) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(op);
  return it == calls_.end() ? 0 : it->second;
}

bool MemoryStateFiles::fails(Op op) {
  ++calls_[op];
  auto it = failures_.find(op);
  if (it == failures_.end()) return false;
  Failure& f = it->second;
  if (f.countdown == 0) return true;
  if (--f.countdown > 0) return false;
  if (!f.from_then_on) failures_.erase(it);
  return true;
}

bool MemoryStateFiles::directory(std::string_view name) const {
  auto it = names_.find(name);
  return it != names_.end() && nodes_[it->second].data == kDirectory;
}

MemoryStateFiles::Image MemoryStateFiles::image_of(const std::map<std::string, std::size_t, std::less<>>& names) const {
  Image image;
  for (const auto& [name, node] : names) {
    const Node& n = nodes_[node];
    image[name] = n.flushed ? n.data : n.data.substr(0, n.data.size() / 2);
  }
  return image;
}

MemoryStateFiles::Image MemoryStateFiles::after_crash() const {
  std::lock_guard lock(mutex_);
  Image image;
  for (const auto& [name, node] : names_) image[name] = nodes_[node].data;
  return image;
}

MemoryStateFiles::Image MemoryStateFiles::after_power_cut() const {
  std::lock_guard lock(mutex_);
  return image_of(durable_names_);
}

std::vector<MemoryStateFiles::Image> MemoryStateFiles::after_power_cuts() const {
  std::lock_guard lock(mutex_);
  std::vector<Image> images{image_of(durable_names_)};
  for (const auto& names : pending_) images.push_back(image_of(names));
  return images;
}

StateEntry MemoryStateFiles::kind(std::string_view name) {
  std::lock_guard lock(mutex_);
  if (directory(name)) return StateEntry::other;
  return names_.contains(name) ? StateEntry::file : StateEntry::missing;
}

std::optional<std::string> MemoryStateFiles::read(std::string_view name, std::size_t max_bytes) {
  std::lock_guard lock(mutex_);
  auto it = names_.find(name);
  if (it == names_.end() || directory(name) || nodes_[it->second].data.size() > max_bytes) return std::nullopt;
  return nodes_[it->second].data;
}

bool MemoryStateFiles::write_flushed(std::string_view name, std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (directory(name)) return false;
  std::size_t node;
  if (auto it = names_.find(name); it != names_.end()) {
    node = it->second;
    nodes_[node] = Node{"", false};
    step("truncate " + std::string(name));
  } else {
    node = add_node("", false);
    names_.emplace(std::string(name), node);
    journal();
    step("create " + std::string(name));
  }
  if (fails(Op::write)) return false;
  nodes_[node].data = std::string(bytes);
  step("write " + std::string(name));
  if (fails(Op::flush)) return false;
  nodes_[node].flushed = true;
  commit_journal();
  step("flush " + std::string(name));
  return true;
}

bool MemoryStateFiles::replace(std::string_view from, std::string_view to) {
  std::lock_guard lock(mutex_);
  auto it = names_.find(from);
  if (it == names_.end() || directory(from) || directory(to)) return false;
  if (fails(Op::rename)) return false;
  const std::size_t node = it->second;
  names_.erase(it);
  names_.insert_or_assign(std::string(to), node);
  commit_journal();
  step("rename " + std::string(from) + " over " + std::string(to));
  return true;
}

DeleteResult MemoryStateFiles::remove(std::string_view name) {
  std::lock_guard lock(mutex_);
  auto it = names_.find(name);
  if (it == names_.end()) return DeleteResult::not_found;
  if (directory(name) || fails(Op::remove)) return DeleteResult::failed;
  names_.erase(it);
  journal();
  step("delete " + std::string(name));
  return DeleteResult::deleted;
}

}  // namespace velk::test
