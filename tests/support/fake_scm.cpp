#include "fake_scm.h"

#include <string>

namespace velk::test {

class FakeScm::Handle final : public ServiceHandle {
 public:
  explicit Handle(FakeScm& scm) : scm_(scm) { ++scm_.open_handles; }
  ~Handle() override { scm_.closed(); }

  std::optional<ServiceStatus> query() override {
    if (scm_.plan_.fails("scm.query")) return std::nullopt;
    return ServiceStatus{scm_.state, scm_.state == scm::kRunning ? scm_.pid : std::nullopt};
  }
  std::uint32_t change_config(const ServiceRegistration& registration) override {
    if (scm_.plan_.fails("scm.change_config")) return 5;
    if (scm_.marked_for_delete) return scm::kMarkedForDelete;
    scm_.registration = registration;
    scm_.controls.push_back("config");
    return 0;
  }
  bool set_failure_actions(const FailureActions& actions) override {
    if (scm_.plan_.fails("scm.set_failure_actions")) return false;
    scm_.failure_actions = actions;
    scm_.controls.push_back("actions");
    return true;
  }
  bool start() override {
    if (scm_.plan_.fails("scm.start") || scm_.marked_for_delete || scm_.state == scm::kRunning) return false;
    scm_.state = scm::kRunning;
    scm_.pid = scm_.next_pid_++;
    scm_.running_version = scm_.version_on_start ? scm_.version_on_start() : "";
    scm_.controls.push_back("start");
    return true;
  }
  bool control_stop() override {
    if (scm_.plan_.fails("scm.control_stop") || scm_.state == scm::kStopped) return false;
    scm_.controls.push_back("stop");
    if (scm_.stop_pending) scm_.state = 3;  // SERVICE_STOP_PENDING
    if (scm_.ignores_stop || scm_.stop_pending) return true;
    scm_.state = scm::kStopped;
    scm_.pid.reset();
    scm_.running_version.clear();
    return true;
  }
  std::uint32_t mark_for_delete() override {
    if (scm_.plan_.fails("scm.delete")) return 5;
    if (scm_.marked_for_delete) return scm::kMarkedForDelete;
    scm_.marked_for_delete = true;
    scm_.controls.push_back("delete");
    return 0;
  }

 private:
  FakeScm& scm_;
};

void FakeScm::closed() {
  --open_handles;
  if (marked_for_delete && open_handles == 0 && !keeps_handle_open) {
    registered = false;
    marked_for_delete = false;
    failure_actions.reset();
  }
}

OpenedService FakeScm::open_service(std::uint32_t) {
  if (plan_.fails("scm.open")) return {nullptr, 5};
  if (!registered) return {nullptr, scm::kDoesNotExist};
  return {std::make_unique<Handle>(*this), 0};
}

OpenedService FakeScm::create_service(const ServiceRegistration& r) {
  if (plan_.fails("scm.create")) return {nullptr, 5};
  if (registered) return {nullptr, marked_for_delete ? scm::kMarkedForDelete : 1073u};
  registered = true;
  registration = r;
  state = scm::kStopped;
  pid.reset();
  controls.push_back("create");
  return {std::make_unique<Handle>(*this), 0};
}

void FakeScm::install_running(const ServiceRegistration& r, std::string version) {
  registered = true;
  registration = r;
  state = scm::kRunning;
  pid = next_pid_++;
  running_version = std::move(version);
}

void FakeScm::end_process(std::uint32_t which) {
  if (!pid || *pid != which || survives_taskkill) return;
  state = scm::kStopped;
  pid.reset();
  running_version.clear();
}

void FakeTaskkill::run(std::string_view arg1, std::string_view arg2) {
  runs.push_back(std::string(arg1) + " " + std::string(arg2));
  if (plan_.fails("taskkill")) return;
  if (arg1 == "/PID") scm_.end_process(static_cast<std::uint32_t>(std::stoul(std::string(arg2))));
}

}  // namespace velk::test
