#include "diagnose/run_diagnose.h"

#include "diagnose/diagnosis.h"

namespace velk {

int run_diagnose(DiagnoseSystem& system, const DiagnoseRequest& request, const TextOutput& out, const TextOutput& err) {
  // Without elevation the service's configuration, the state directory and
  // the filters cannot all be read: a partial look would read as disagreements.
  if (system.elevated() != true) {
    err(kNotElevatedText);
    return 2;
  }
  const Diagnosis d = diagnose(system, request.state_dir, request.default_dir);
  out(request.json ? report_json(d) : report_text(d));
  return exit_code(d);
}

}  // namespace velk
