#pragma once
// Who is on the other end of a pipe connection: the user of the client's
// token, and whether that token is elevated.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

struct CallerIdentity {
  std::string sid;        // string form of the token user's SID, e.g. "S-1-5-21-...-1001"
  bool elevated = false;  // elevated token, or the LocalSystem account

  bool operator==(const CallerIdentity&) const = default;
};

inline constexpr std::string_view kLocalSystemSid = "S-1-5-18";
// The anonymous logon: a client that opened at anonymous level. Never served.
inline constexpr std::string_view kAnonymousSid = "S-1-5-7";

// `token_elevation` is the TokenElevation value, absent when it could not be
// read. A nonzero value means elevated; otherwise only LocalSystem counts as
// elevated. A filtered administrator token reports 0 and is not elevated.
bool caller_is_elevated(std::string_view sid, std::optional<std::uint32_t> token_elevation);

// What the caller's token says.
struct TokenFacts {
  std::string sid;
  std::optional<std::uint32_t> elevation;  // absent when it could not be read
};

// How an attempt to take on the client's identity ended.
enum class Impersonation {
  done,
  // The system will not yet (ERROR_CANNOT_IMPERSONATE): the pipe has no
  // security context for the client, as with a client that opened without
  // SECURITY_SQOS_PRESENT and has dynamic tracking.
  no_context,
  failed,
};

// The platform steps of reading the caller through the pipe itself, so the
// answer is the token the client opened the pipe with, or the one of the
// last message read (a process id could name another process by the time it
// is looked up). The thread takes on the client's identity only to open that
// token, and is itself again before anything else happens.
class CallerTokenSteps {
 public:
  virtual ~CallerTokenSteps() = default;
  virtual Impersonation impersonate_client() = 0;  // the thread takes on the client's identity
  virtual bool open_thread_token() = 0;            // keeps the thread's token for read_token
  virtual bool revert_to_self() = 0;               // the thread is itself again
  virtual std::optional<TokenFacts> read_token() = 0;
  // The primary token of the process that opened the client end, absent
  // when it cannot be read or that process id now names a process started
  // after the client connected.
  virtual std::optional<TokenFacts> read_client_process_token() = 0;
  // The thread could not be made itself again and must not go on serving as
  // the client: ends the process (returns only under test).
  virtual void stop_process() = 0;
};

// Impersonate, open the thread's token, revert (on every path, also when a
// step failed), then read the token. When the system has no security context
// for the client yet, the client process's token names it instead. Absent
// when a step fails or the caller is anonymous; a failed revert stops the
// process. Call it only once a read from the pipe has returned bytes: until
// then Windows may refuse to impersonate.
std::optional<CallerIdentity> identify_through_pipe(CallerTokenSteps& steps);

// The account of the client's process, for counting a connection before
// anything has been read from it. Absent when the token cannot be read or is
// anonymous.
std::optional<CallerIdentity> identify_client_process(CallerTokenSteps& steps);

}  // namespace velk
