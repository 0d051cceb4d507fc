#pragma once
// The five kill-switch filter operations. Each opens its own filtering-engine
// session; callers in the helper serialise them under the supervisor's
// operation lock, other processes rely on the engine's transactions.

#include <memory>
#include <vector>

#include "platform/result.h"
#include "wfp/pin.h"

namespace velk {

class FilterOps {
 public:
  virtual ~FilterOps() = default;
  // Replaces every filter of the provider with the rule list for `pins`
  // (sorted, no duplicates) in one transaction. Error: "killswitch_failed".
  virtual Outcome install_filters(const std::vector<Pin>& pins) = 0;
  // Deletes every filter of the provider, then the sublayer and the provider.
  virtual Outcome remove_filters() = 0;
  // Each of the four layers holds at least one filter of the provider.
  virtual bool filters_intact() = 0;
  // Whether any filter of the provider remains; when none does, the sublayer
  // and the provider are deleted. Error: "killswitch_failed".
  virtual Result<bool> list_filters() = 0;
  // Whether any filter of the provider is in force, changing nothing (no
  // provider or sublayer is made or deleted). Error: "killswitch_failed".
  virtual Result<bool> filters_present() = 0;
  // The tunnel interface appeared, vanished or changed since the last install.
  virtual bool tunnel_changed() = 0;
};

// The operations on the system's filtering engine (Windows build only).
std::unique_ptr<FilterOps> system_filter_ops();

}  // namespace velk
