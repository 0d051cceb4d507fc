#include "ipc/protocol.h"

#include <array>
#include <utility>

namespace velk {
namespace {

template <class E, std::size_t N>
using NameTable = std::array<std::pair<E, std::string_view>, N>;

constexpr NameTable<EngineState, 4> kEngineStates{{
    {EngineState::stopped, "stopped"},
    {EngineState::starting, "starting"},
    {EngineState::running, "running"},
    {EngineState::stopping, "stopping"},
}};

constexpr NameTable<KillSwitch, 2> kKillSwitches{{
    {KillSwitch::off, "off"},
    {KillSwitch::armed, "armed"},
}};

constexpr NameTable<Session, 3> kSessions{{
    {Session::none, "none"},
    {Session::mine, "mine"},
    {Session::other, "other"},
}};

template <class E, std::size_t N>
std::string_view name_in(const NameTable<E, N>& table, E value) {
  for (const auto& [v, name] : table) {
    if (v == value) return name;
  }
  return {};  // unreachable for a valid enumerator
}

template <class E, std::size_t N>
std::optional<E> value_in(const NameTable<E, N>& table, std::string_view name) {
  for (const auto& [v, n] : table) {
    if (n == name) return v;
  }
  return std::nullopt;
}

}  // namespace

std::string_view name_of(EngineState s) { return name_in(kEngineStates, s); }
std::string_view name_of(KillSwitch k) { return name_in(kKillSwitches, k); }
std::string_view name_of(Session s) { return name_in(kSessions, s); }

std::optional<EngineState> engine_state_from_name(std::string_view name) {
  return value_in(kEngineStates, name);
}
std::optional<KillSwitch> kill_switch_from_name(std::string_view name) {
  return value_in(kKillSwitches, name);
}
std::optional<Session> session_from_name(std::string_view name) {
  return value_in(kSessions, name);
}

}  // namespace velk
