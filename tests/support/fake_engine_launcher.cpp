#include "fake_engine_launcher.h"

namespace velk::test {

class FakeEngineLauncher::Process final : public EngineProcess {
 public:
  Process(FakeEngineLauncher& owner, EngineScript script, Clock::time_point started)
      : owner_(owner), script_(script), started_(started) {}

  ~Process() override {
    std::lock_guard l(owner_.m_);
    if (!gone_) --owner_.alive_;
    owner_.changed_.notify_all();
  }

  bool exited() override {
    const bool ended = script_.lifetime && owner_.clock_.now() - started_ >= *script_.lifetime;
    std::lock_guard l(owner_.m_);
    if (ended && !gone_) {
      gone_ = true;
      --owner_.alive_;
      owner_.changed_.notify_all();
    }
    return gone_;
  }

  ErrorCode exit_code() override { return script_.exit_code; }

  void terminate() override {
    std::unique_lock l(owner_.m_);
    ++owner_.terminate_calls_;
    owner_.changed_.notify_all();
    if (script_.stuck_on_terminate) owner_.changed_.wait(l, [&] { return owner_.released_; });
    if (!gone_) {
      gone_ = true;
      --owner_.alive_;
    }
    ++owner_.terminations_;
    owner_.changed_.notify_all();
  }

 private:
  FakeEngineLauncher& owner_;
  const EngineScript script_;
  const Clock::time_point started_;
  bool gone_ = false;  // guarded by owner_.m_
};

Result<std::unique_ptr<EngineProcess>> FakeEngineLauncher::launch(const std::filesystem::path& engine_path,
                                                                  std::string_view config) {
  const Clock::time_point now = clock_.now();
  std::lock_guard l(m_);
  EngineScript script = default_;
  if (!queue_.empty()) {
    script = queue_.front();
    queue_.erase(queue_.begin());
  }
  launches_.push_back(Launch{now, engine_path, std::string(config)});
  changed_.notify_all();
  if (script.launch_error) return fail(*script.launch_error);
  ++alive_;
  return std::unique_ptr<EngineProcess>(std::make_unique<Process>(*this, script, now));
}

void FakeEngineLauncher::push(EngineScript script) {
  std::lock_guard l(m_);
  queue_.push_back(script);
}

void FakeEngineLauncher::set_default(EngineScript script) {
  std::lock_guard l(m_);
  default_ = script;
}

std::vector<FakeEngineLauncher::Launch> FakeEngineLauncher::launches() {
  std::lock_guard l(m_);
  return launches_;
}

bool FakeEngineLauncher::await_launches(std::size_t count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return launches_.size() >= count; });
}

int FakeEngineLauncher::alive() {
  std::lock_guard l(m_);
  return alive_;
}

int FakeEngineLauncher::terminations() {
  std::lock_guard l(m_);
  return terminations_;
}

bool FakeEngineLauncher::await_terminate_calls(int count, std::chrono::milliseconds limit) {
  std::unique_lock l(m_);
  return changed_.wait_for(l, limit, [&] { return terminate_calls_ >= count; });
}

void FakeEngineLauncher::release_stuck() {
  std::lock_guard l(m_);
  released_ = true;
  changed_.notify_all();
}

}  // namespace velk::test
