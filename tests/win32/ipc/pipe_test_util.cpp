#include "pipe_test_util.h"

#include <sddl.h>

#include <atomic>
#include <thread>

#include "ipc/pipe_server_access.h"
#include "platform/text.h"

namespace velk::test {

std::string unique_pipe_name(const char* tag) {
  static std::atomic<unsigned> counter{0};
  return "\\\\.\\pipe\\velk-test-" + std::string(tag) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

std::wstring wide(const std::string& s) {
  std::u16string u = utf16_from_utf8(s);
  return std::wstring(u.begin(), u.end());
}

UniqueHandle try_connect_client(const std::string& name, DWORD* error) {
  std::wstring w = wide(name);
  UniqueHandle h(CreateFileW(w.c_str(), kClientPipeAccess, 0, nullptr, OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
  if (error) *error = h ? 0 : GetLastError();
  return h;
}

UniqueHandle connect_client(const std::string& name, std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    DWORD error = 0;
    UniqueHandle h = try_connect_client(name, &error);
    if (h || std::chrono::steady_clock::now() >= deadline) return h;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool write_text(HANDLE pipe, const std::string& text) {
  DWORD written = 0;
  return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

namespace {

// Waits until bytes are available (true) or the pipe is closed / the wait ends (false).
bool wait_readable(HANDLE pipe, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::optional<std::string> read_line(HANDLE pipe, std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  std::string line;
  std::string peeked(65536, '\0');
  while (wait_readable(pipe, deadline)) {
    // Take what is there, but never past the first line feed.
    DWORD seen = 0;
    if (!PeekNamedPipe(pipe, peeked.data(), static_cast<DWORD>(peeked.size()), &seen, nullptr, nullptr)) break;
    std::string_view view(peeked.data(), seen);
    std::size_t end = view.find('\n');
    DWORD take = end == std::string_view::npos ? seen : static_cast<DWORD>(end + 1);
    std::string chunk(take, '\0');
    DWORD got = 0;
    if (!ReadFile(pipe, chunk.data(), take, &got, nullptr) || got == 0) break;
    line.append(chunk.data(), got);
    if (!line.empty() && line.back() == '\n') return line;
  }
  return std::nullopt;
}

std::string read_to_end(HANDLE pipe, std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  std::string all;
  char buf[4096];
  while (wait_readable(pipe, deadline)) {
    DWORD got = 0;
    if (!ReadFile(pipe, buf, sizeof buf, &got, nullptr) || got == 0) break;
    all.append(buf, got);
  }
  return all;
}

bool system_enforces_first_instance() {
  std::wstring name = wide(unique_pipe_name("probe"));
  DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
  UniqueHandle first(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, mode,
                                      PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr));
  UniqueHandle second(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, mode,
                                       PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr));
  return first && !second;
}

CallerIdentity own_identity() {
  CallerIdentity id;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return id;
  UniqueHandle token(raw);
  alignas(TOKEN_USER) unsigned char buf[512] = {};
  DWORD n = 0;
  if (GetTokenInformation(token.get(), TokenUser, buf, sizeof buf, &n)) {
    UniqueLocal<LPWSTR> text;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, text.put())) {
      id.sid = utf8_from_utf16(reinterpret_cast<const char16_t*>(text.get()));
    }
  }
  TOKEN_ELEVATION e{};
  id.elevated = GetTokenInformation(token.get(), TokenElevation, &e, sizeof e, &n) && e.TokenIsElevated != 0;
  return id;
}

}  // namespace velk::test
