#include "fake_engine_scripts.h"

#include <algorithm>

namespace velk::test {

// Shared with a reader that may outlive its process and its launcher.
struct ScriptedEngineLauncher::Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void release() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
};

namespace {

// Serves the text, then (when held) blocks until the gate opens, then the end.
class TextReader final : public ByteReader {
 public:
  TextReader(std::string text, std::shared_ptr<ScriptedEngineLauncher::Gate> gate)
      : text_(std::move(text)), gate_(std::move(gate)) {}
  std::optional<std::size_t> read(std::span<char> buf) override {
    const std::size_t n = std::min(buf.size(), text_.size() - pos_);
    if (n == 0 && gate_) {
      std::unique_lock l(gate_->m);
      gate_->cv.wait(l, [&] { return gate_->open; });
    }
    std::copy_n(text_.data() + pos_, n, buf.data());
    pos_ += n;
    return n;
  }

 private:
  std::string text_;
  std::shared_ptr<ScriptedEngineLauncher::Gate> gate_;
  std::size_t pos_ = 0;
};

}  // namespace

class ScriptedEngineLauncher::Process final : public EngineProcess {
 public:
  Process(ScriptedEngineLauncher& owner, EngineScript script, Clock::time_point started, std::size_t index,
          std::shared_ptr<Gate> gate)
      : owner_(owner), script_(std::move(script)), started_(started), index_(index), gate_(std::move(gate)) {}

  ~Process() override {
    std::lock_guard l(owner_.m_);
    end_locked();
  }

  bool write_input_and_close(std::string_view text) override {
    std::lock_guard l(owner_.m_);
    owner_.launches_[index_].config = std::string(text);
    owner_.changed_.notify_all();
    return true;
  }

  std::unique_ptr<ByteReader> take_error_output() override {
    if (taken_) return nullptr;
    taken_ = true;
    return std::make_unique<TextReader>(script_.stderr_text, gate_);
  }

  void end_leftovers() override {
    if (gate_ && script_.output_held == EngineScript::Held::until_leftovers_end) gate_->release();
  }

  bool has_exited() override {
    const bool over = script_.lifetime && owner_.clock_.now() - started_ >= *script_.lifetime;
    std::lock_guard l(owner_.m_);
    if (over) end_locked();
    return gone_;
  }

  void kill() override {
    std::unique_lock l(owner_.m_);
    ++owner_.kills_;
    owner_.changed_.notify_all();
    if (script_.stuck) owner_.changed_.wait(l, [&] { return owner_.released_; });
    if (!gone_ && !script_.survives_kills) {
      ++owner_.killed_;
      end_locked();
    }
    owner_.changed_.notify_all();
  }

  void wait() override {
    std::unique_lock l(owner_.m_);
    owner_.changed_.wait(l, [&] { return gone_ || owner_.released_; });
    end_locked();
  }

 private:
  void end_locked() {
    if (gone_) return;
    gone_ = true;
    --owner_.alive_;
    owner_.changed_.notify_all();
  }

  ScriptedEngineLauncher& owner_;
  const EngineScript script_;
  const Clock::time_point started_;
  const std::size_t index_;
  const std::shared_ptr<Gate> gate_;
  bool taken_ = false;
  bool gone_ = false;  // guarded by owner_.m_
};

Result<std::unique_ptr<EngineProcess>> ScriptedEngineLauncher::start(const std::filesystem::path& program) {
  const Clock::time_point now = clock_.now();
  std::lock_guard l(m_);
  EngineScript script = default_;
  if (!queue_.empty()) {
    script = queue_.front();
    queue_.erase(queue_.begin());
  }
  launches_.push_back(Launch{now, program, std::nullopt});
  changed_.notify_all();
  if (script.start_error) return fail(*script.start_error);
  ++alive_;
  std::shared_ptr<Gate> gate;
  if (script.output_held != EngineScript::Held::no) {
    gate = std::make_shared<Gate>();
    if (released_) gate->open = true;
    gates_.push_back(gate);
  }
  return std::unique_ptr<EngineProcess>(
      std::make_unique<Process>(*this, std::move(script), now, launches_.size() - 1, std::move(gate)));
}

ScriptedEngineLauncher::~ScriptedEngineLauncher() { release_stuck(); }

void ScriptedEngineLauncher::push(EngineScript script) {
  std::lock_guard l(m_);
  queue_.push_back(std::move(script));
}

void ScriptedEngineLauncher::set_default(EngineScript script) {
  std::lock_guard l(m_);
  default_ = std::move(script);
}

std::vector<ScriptedEngineLauncher::Launch> ScriptedEngineLauncher::launches() {
  std::lock_guard l(m_);
  return launches_;
}

bool ScriptedEngineLauncher::await_launches(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return launches_.size() >= count; });
}

std::optional<std::string> ScriptedEngineLauncher::config_of(std::size_t index, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  changed_.wait_for(l, limit, [&] { return launches_.size() > index && launches_[index].config; });
  if (launches_.size() <= index) return std::nullopt;
  return launches_[index].config;
}

int ScriptedEngineLauncher::alive() {
  std::lock_guard l(m_);
  return alive_;
}

int ScriptedEngineLauncher::kills() {
  std::lock_guard l(m_);
  return kills_;
}

int ScriptedEngineLauncher::killed() {
  std::lock_guard l(m_);
  return killed_;
}

bool ScriptedEngineLauncher::await_kills(int count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return kills_ >= count; });
}

void ScriptedEngineLauncher::release_stuck() {
  std::lock_guard l(m_);
  released_ = true;
  for (const auto& gate : gates_) gate->release();
  changed_.notify_all();
}

}  // namespace velk::test
