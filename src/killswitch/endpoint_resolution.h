#pragma once
// Turning each route's server into one address before a start or replace:
// host names are resolved here (bounded per name, IPv4 preferred, the saved
// addresses as fallback), the engine only ever sees addresses, and the
// kill-switch pins are derived from those addresses.

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "engine/route.h"
#include "killswitch/armed_state.h"
#include "killswitch/host_resolver.h"
#include "killswitch/killswitch_store.h"
#include "platform/result.h"
#include "wfp/pin.h"

namespace velk {

inline constexpr std::chrono::milliseconds kResolveBound{4000};

// Runs `work` on a detached thread of its own; false when no thread could be started.
using ThreadStarter = std::function<bool(std::function<void()> work)>;
bool start_detached_thread(std::function<void()> work);

struct NameResolution {
  std::shared_ptr<HostResolver> resolver;
  // How long one host name may take; a later answer is discarded.
  std::chrono::milliseconds bound = kResolveBound;
  ThreadStarter start_thread = start_detached_thread;
};

// The system resolver with the 4 s bound.
NameResolution system_name_resolution();

// Asks `resolution.resolver` on a thread of its own and waits at most
// `resolution.bound`. Empty on time-out or failure, and when no thread can be
// started (the name then counts as unresolved; the process goes on); a late
// thread finishes on its own and its answer is dropped.
std::vector<IpAddress> resolve_within_bound(const NameResolution& resolution, const std::string& host);

struct ResolvedRoutes {
  EngineRequest request;               // every remaining route names an address
  std::vector<HostEntry> new_entries;  // (host, address) per resolved host name, in route order
};

// With the kill switch engaged and no engine running, name resolution is
// blocked: only the saved addresses are used and the resolver is not asked.
// Routes left without an address are dropped; none left: "endpoint_unresolved".
// A selection that no longer names a remaining route becomes "auto".
Result<ResolvedRoutes> resolve_routes(const EngineRequest& request, bool engaged, bool engine_running,
                                      const KillSwitchStore& store, const NameResolution& resolution);
Result<ResolvedRoutes> resolve_routes(const EngineRequest& request, bool engaged, bool engine_running,
                                      const KillSwitchStore& store);

// One pin per route of a resolved request, sorted, without duplicates; an
// IPv4-mapped address is pinned as the IPv4 address it carries.
// A server that is not an address: "endpoint_unresolved"; a refused address:
// "endpoint_refused".
Result<std::vector<Pin>> derive_pins(const EngineRequest& resolved);

}  // namespace velk
