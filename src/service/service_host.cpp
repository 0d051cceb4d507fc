#include "service/service_host.h"

#include <utility>

namespace velk {

ServiceStatusReport running_report() {
  ServiceStatusReport r;
  r.current_state = scm::kRunning;
  r.controls_accepted = scm::kAcceptStopAndShutdown;
  return r;
}

ServiceStatusReport stop_pending_report(std::uint32_t check_point) {
  ServiceStatusReport r;
  r.current_state = scm::kStopPending;
  r.check_point = check_point;
  r.wait_hint = kStopPendingWaitHintMs;
  return r;
}

ServiceStatusReport stopped_report() {
  ServiceStatusReport r;
  r.current_state = scm::kStopped;
  return r;
}

ServiceStatusReport refused_report(std::uint32_t code) {
  ServiceStatusReport r = stopped_report();
  r.win32_exit_code = scm::kServiceSpecificError;
  r.service_specific_exit_code = code;
  return r;
}

std::uint32_t handle_service_control(HandlerContext& context, std::uint32_t control) {
  switch (control) {
    case scm::kControlStop:
    case scm::kControlShutdown:
      if (context.sender) context.sender->send();  // a receiver already gone is fine
      context.sender.reset();
      return scm::kNoError;
    case scm::kControlInterrogate:
      return scm::kNoError;
    case scm::kControlPreshutdown:
      context.sender.reset();
      return scm::kCallNotImplemented;
    default:
      return scm::kCallNotImplemented;
  }
}

void run_service_main(ServiceHostOps& ops, Clock& clock, std::function<void()> run_server,
                      std::function<void()> clean_out) {
  StopReceiver stop;
  auto context = std::make_unique<HandlerContext>();
  context->sender.emplace(stop.sender());
  if (!ops.register_handler(context)) return;  // the context, with its sender, goes here

  ops.report(running_report());

  ops.start_worker([sender = stop.sender(), run_server = std::move(run_server)]() mutable {
    run_server();
    // The server only returns when it could not start: that is a stop.
    sender.send();
  });
  if (clean_out) ops.start_worker(std::move(clean_out));

  stop.wait();
  ops.report(stop_pending_report(1));

  if (std::shared_ptr<StoppableSupervisor> supervisor = ops.published_supervisor()) {
    supervisor->shutdown();
    for (std::uint32_t check_point = 2; check_point <= kLastStopCheckPoint; ++check_point) {
      if (supervisor->engine_idle()) break;
      clock.sleep_for(kStopPollInterval);
      ops.report(stop_pending_report(check_point));
    }
  }

  ops.report(stopped_report());
  ops.exit_process(0);
}

void refuse_service_main(ServiceHostOps& ops, std::uint32_t code) {
  // A handler must be registered before any report; it has nothing to stop.
  auto context = std::make_unique<HandlerContext>();
  if (!ops.register_handler(context)) return;
  ops.report(refused_report(code));
  ops.exit_process(static_cast<int>(code));
}

}  // namespace velk
