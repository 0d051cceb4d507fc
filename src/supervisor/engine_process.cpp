#include "supervisor/engine_process.h"

namespace velk {

namespace {

bool ended_within(EngineProcess& process, Clock& clock, int polls) {
  for (int i = 0; i < polls; ++i) {
    if (process.has_exited()) return true;
    clock.sleep_for(kTerminatePollInterval);
  }
  return false;
}

}  // namespace

bool terminate_engine(EngineProcess& process, Clock& clock) {
  process.kill();
  bool ended = ended_within(process, clock, kTerminatePolls);
  if (!ended) {
    process.kill();
    // An engine that outlives two kills is left to the job (it ends with the
    // helper); the thread must not wait for it for ever.
    ended = ended_within(process, clock, kTerminateFinalPolls);
  }
  process.end_leftovers();
  return ended;
}

}  // namespace velk
