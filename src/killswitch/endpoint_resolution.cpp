#include "killswitch/endpoint_resolution.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "ipc/error_codes.h"
#include "killswitch/address_rules.h"

namespace velk {
namespace {

// The one-shot channel between a resolver thread and the waiting caller. Both
// hold it, so whichever lets go last frees it.
struct Answer {
  std::mutex mutex;
  std::condition_variable ready;
  bool done = false;
  std::vector<IpAddress> addresses;
};

}  // namespace

bool start_detached_thread(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;  // out of threads: one connection's request fails, not the service
  }
}

NameResolution system_name_resolution() { return NameResolution{system_host_resolver(), kResolveBound}; }

std::vector<IpAddress> resolve_within_bound(const NameResolution& resolution, const std::string& host) {
  if (!resolution.resolver) return {};
  auto answer = std::make_shared<Answer>();
  // The thread owns copies of everything it touches: the resolver, the name
  // and the channel.
  const bool started = resolution.start_thread([resolver = resolution.resolver, host, answer] {
    std::vector<IpAddress> addresses;
    try {
      addresses = resolver->resolve(host);
    } catch (...) {
      addresses.clear();
    }
    {
      std::lock_guard lock(answer->mutex);
      answer->addresses = std::move(addresses);
      answer->done = true;
    }
    answer->ready.notify_all();
  });
  if (!started) return {};
  std::unique_lock lock(answer->mutex);
  if (!answer->ready.wait_for(lock, resolution.bound, [&] { return answer->done; })) return {};
  return std::move(answer->addresses);
}

Result<ResolvedRoutes> resolve_routes(const EngineRequest& request, bool engaged, bool engine_running,
                                      const KillSwitchStore& store, const NameResolution& resolution) {
  const bool use_saved_only = engaged && !engine_running;
  ResolvedRoutes out;
  for (const Route& route : request.routes) {
    std::optional<IpAddress> address = IpAddress::parse(route.server);
    if (!address) {
      if (!use_saved_only) address = choose_server_address(resolve_within_bound(resolution, route.server));
      if (!address) address = store.saved_address(route.server);
      if (!address) continue;  // this route is dropped; the others go on
      out.new_entries.push_back(HostEntry{route.server, *address});
    }
    Route resolved = route;
    resolved.server = address->to_string();
    out.request.routes.push_back(std::move(resolved));
  }
  if (out.request.routes.empty()) return fail(err::endpoint_unresolved);
  const bool selection_remains =
      std::any_of(out.request.routes.begin(), out.request.routes.end(),
                  [&](const Route& r) { return r.tag == request.selected; });
  out.request.selected = selection_remains ? request.selected : std::string("auto");
  return out;
}

Result<ResolvedRoutes> resolve_routes(const EngineRequest& request, bool engaged, bool engine_running,
                                      const KillSwitchStore& store) {
  return resolve_routes(request, engaged, engine_running, store, system_name_resolution());
}

Result<std::vector<Pin>> derive_pins(const EngineRequest& resolved) {
  std::vector<Pin> pins;
  pins.reserve(resolved.routes.size());
  for (const Route& route : resolved.routes) {
    auto address = IpAddress::parse(route.server);
    if (!address) return fail(err::endpoint_unresolved);
    if (!is_acceptable_server_address(*address)) return fail(err::endpoint_refused);
    // The engine's connection to ::ffff:a.b.c.d is an IPv4 connection to a.b.c.d.
    pins.push_back(Pin{ipv4_carried_by(*address).value_or(*address), route.port});
  }
  std::sort(pins.begin(), pins.end());
  pins.erase(std::unique(pins.begin(), pins.end()), pins.end());
  return pins;
}

}  // namespace velk
