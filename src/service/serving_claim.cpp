#include "service/serving_claim.h"

#include "platform/text.h"

namespace velk {

ServingClaim claim_state_dir(StateFiles& files, const std::filesystem::path& dir, Clock& clock) {
  ExclusiveHold taken = files.hold_exclusively(kServingClaimName);
  for (int tries = 1; taken.outcome == ExclusiveHold::Outcome::in_use && tries < kClaimTries; ++tries) {
    clock.sleep_for(kClaimRetryStep);
    taken = files.hold_exclusively(kServingClaimName);
  }
  ServingClaim claim;
  switch (taken.outcome) {
    case ExclusiveHold::Outcome::held:
      claim.hold = std::move(taken.file);
      break;
    case ExclusiveHold::Outcome::no_directory:
      break;
    case ExclusiveHold::Outcome::in_use:
      claim.refused_exit = kExitStateDirServed;
      claim.message = "velkvpn-helper: another helper already serves the state directory " + utf8_from_path(dir) + "\n";
      break;
    case ExclusiveHold::Outcome::failed:
      claim.refused_exit = kExitStateDirUnclaimable;
      claim.message = "velkvpn-helper: cannot claim the state directory " + utf8_from_path(dir) + " (" +
                      std::string(kServingClaimName) + "); not serving\n";
      break;
  }
  return claim;
}

}  // namespace velk
