#pragma once
// The service control manager with the one service VelkVpnHelper, in memory:
// registration, recovery actions, state and process id, open handles, and a
// deletion that completes once the last handle closes. A started service runs
// the version that `version_on_start` reads (the installed helper's).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "install/service_manager.h"
#include "install/taskkill.h"

namespace velk::test {

class FakeScm final : public ServiceManager {
 public:
  explicit FakeScm(FaultPlan& plan) : plan_(plan) {}

  OpenedService open_service(std::uint32_t access) override;
  OpenedService create_service(const ServiceRegistration& registration) override;

  // --- set up by the test ---
  void install_running(const ServiceRegistration& registration, std::string version);
  std::function<std::string()> version_on_start;
  bool ignores_stop = false;     // the stop control does nothing (taskkill /PID still ends it)
  bool survives_taskkill = false;  // taskkill /PID does not end it
  bool stop_pending = false;     // reports STOP_PENDING (no pid) until ended by taskkill
  bool keeps_handle_open = false;  // someone else holds a handle: deletion never completes

  // --- the service as it is ---
  bool registered = false;
  bool marked_for_delete = false;
  ServiceRegistration registration;
  std::optional<FailureActions> failure_actions;
  std::uint32_t state = 0;
  std::optional<std::uint32_t> pid;
  std::string running_version;  // while running
  int open_handles = 0;
  std::vector<std::string> controls;  // "start", "stop", "delete", "config", "actions"

  bool running() const { return registered && state == scm::kRunning; }
  // Ends the process (taskkill /PID).
  void end_process(std::uint32_t which);

 private:
  class Handle;
  void closed();

  FaultPlan& plan_;
  std::uint32_t next_pid_ = 100;
};

// Records every run; /PID ends the fake service's process.
class FakeTaskkill final : public Taskkill {
 public:
  FakeTaskkill(FaultPlan& plan, FakeScm& scm) : plan_(plan), scm_(scm) {}
  void run(std::string_view arg1, std::string_view arg2) override;
  std::vector<std::string> runs;  // "ARG1 ARG2"

 private:
  FaultPlan& plan_;
  FakeScm& scm_;
};

}  // namespace velk::test
