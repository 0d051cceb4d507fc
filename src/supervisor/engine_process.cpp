#include "supervisor/engine_process.h"

namespace velk {

void terminate_engine(EngineProcess& process, Clock& clock) {
  process.kill();
  for (int i = 0; i < kTerminatePolls; ++i) {
    if (process.has_exited()) return;
    clock.sleep_for(kTerminatePollInterval);
  }
  process.kill();
  process.wait();
}

}  // namespace velk
