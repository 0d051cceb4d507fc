#pragma once
// A service registered with the Service Control Manager for one test, through
// the SCM API itself: create, start, query, stop, delete.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>

namespace velk::test {

// Owns an SC_HANDLE.
class ScHandle {
 public:
  ScHandle() = default;
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ~ScHandle() { reset(); }
  ScHandle(ScHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  ScHandle& operator=(ScHandle&& o) noexcept {
    if (this != &o) reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;

  SC_HANDLE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void reset(SC_HANDLE h = nullptr) {
    if (h_) CloseServiceHandle(h_);
    h_ = h;
  }

 private:
  SC_HANDLE h_ = nullptr;
};

// One own-process, demand-start service; deleted (after a bounded stop) when
// the object goes.
class ServiceControl {
 public:
  // Registers `name` to run `command_line`; none with `error` set on failure.
  static std::optional<ServiceControl> create(const std::wstring& name, const std::wstring& command_line,
                                              DWORD& error);
  ServiceControl(ServiceControl&&) = default;
  ServiceControl& operator=(ServiceControl&&) = default;
  ~ServiceControl();

  // StartServiceW, once more after a failure (a brand-new prefix may refuse the
  // very first start), then waits for RUNNING. Error: the last Win32 error,
  // or ERROR_SERVICE_NOT_ACTIVE when it stopped instead of running.
  bool start(DWORD& error, std::chrono::milliseconds limit = std::chrono::seconds(20));
  SERVICE_STATUS_PROCESS query() const;
  bool wait_for(DWORD state, std::chrono::milliseconds limit) const;
  // SERVICE_CONTROL_STOP, then waits for STOPPED and for the process to end.
  bool stop(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  ServiceControl(ScHandle manager, ScHandle service) : manager_(std::move(manager)), service_(std::move(service)) {}

  ScHandle manager_;
  ScHandle service_;
};

}  // namespace velk::test
