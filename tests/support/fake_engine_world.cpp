#include "fake_engine_world.h"

#include <string>

#include "ipc/error_codes.h"
#include "killswitch/watcher.h"
#include "supervisor/engine_loop.h"
#include "sample_route.h"

namespace velk::test {

std::vector<IpAddress> TableResolver::resolve(const std::string& host) {
  std::lock_guard l(m_);
  ++calls_;
  auto it = table_.find(host);
  return it == table_.end() ? std::vector<IpAddress>{} : it->second;
}

void TableResolver::set(const std::string& host, std::vector<IpAddress> addresses) {
  std::lock_guard l(m_);
  table_[host] = std::move(addresses);
}

int TableResolver::calls() {
  std::lock_guard l(m_);
  return calls_;
}

Route engine_route(int n) {
  Route r = sample_route("srv-" + std::to_string(n));
  r.server = "10.0.0." + std::to_string(n + 1);
  r.flow = "xtls-rprx-vision";
  return r;
}

EngineRequest engine_request(int routes, std::string selected) {
  EngineRequest request;
  for (int i = 0; i < routes; ++i) request.routes.push_back(engine_route(i));
  request.selected = std::move(selected);
  return request;
}

FakeEngineWorld::FakeEngineWorld() = default;

FakeEngineWorld::~FakeEngineWorld() { stop_threads(); }

Supervisor& FakeEngineWorld::build() {
  SupervisorPorts ports{
      .filters = filters,
      .resolution = NameResolution{resolver, std::chrono::milliseconds(4000)},
      .launcher = *engine_launcher,
      .controller = *controller_client,
      .clock = clock,
      .new_access = [this]() -> Result<ControllerAccess> {
        std::lock_guard l(m_);
        if (fail_access_) return fail(err::engine_controller);
        if (real_controller_access) return new_controller_access();
        ++accesses_;
        return ControllerAccess{static_cast<std::uint16_t>(40000 + accesses_), std::string(64, 'a')};
      },
      .error_sink =
          [this](std::string_view text) {
            std::lock_guard l(m_);
            sink_.emplace_back(text);
          },
  };
  supervisor_ = std::make_unique<Supervisor>(engine_path, dir.path(), std::move(ports));
  return *supervisor_;
}

void FakeEngineWorld::start_engine_thread() {
  engine_thread_ = std::thread([this] { run_engine_loop(*supervisor_); });
}

void FakeEngineWorld::start_watcher_thread() {
  watcher_thread_ = std::thread([this] { watch_kill_switch(*supervisor_); });
}

void FakeEngineWorld::stop_threads() {
  if (!supervisor_) return;
  supervisor_->request_thread_exit();
  clock.set_manual_sleeps(false);
  clock.set_manual_waits(false);
  launcher.release_stuck();
  if (engine_thread_.joinable()) engine_thread_.join();
  if (watcher_thread_.joinable()) watcher_thread_.join();
}

std::vector<std::string> FakeEngineWorld::sink_lines() {
  std::lock_guard l(m_);
  return sink_;
}

void FakeEngineWorld::fail_controller_access() {
  std::lock_guard l(m_);
  fail_access_ = true;
}

bool FakeEngineWorld::eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace velk::test
