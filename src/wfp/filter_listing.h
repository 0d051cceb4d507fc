#pragma once
// The kill switch's filters as the engine holds them, read whole: the one
// look that changes nothing (no provider or sublayer is made or deleted, no
// transaction is begun), for reports on what is in force.

#include <vector>

#include "platform/result.h"
#include "wfp/wfp_api.h"

namespace velk {

// Every filter of the helper's provider in the four layers, layer by layer in
// the engine's order. Error "killswitch_failed": no session, or an
// enumeration failed.
Result<std::vector<ListedFilter>> list_kill_switch_filters(WfpApi& api);

}  // namespace velk
