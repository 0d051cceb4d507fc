#include "process_environment.h"

#include <winternl.h>

#include <cstring>
#include <vector>

#include "platform/unique_handle_win32.h"

namespace velk::test {
namespace {

// x64 layouts: PEB.ProcessParameters, RTL_USER_PROCESS_PARAMETERS.Environment.
constexpr std::size_t kPebProcessParameters = 0x20;
constexpr std::size_t kParametersEnvironment = 0x80;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kEnvironmentCap = 1 << 20;

static_assert(sizeof(void*) == 8, "the offsets above are those of 64-bit processes");

template <class T>
bool read(HANDLE process, std::uintptr_t address, T& value) {
  SIZE_T got = 0;
  return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(address), &value, sizeof value, &got) &&
         got == sizeof value;
}

// The environment block (NAME=VALUE strings up to an empty one), read page by
// page so that the read never runs into memory that is not mapped.
std::optional<std::wstring> read_block(HANDLE process, std::uintptr_t at) {
  std::wstring block;
  std::vector<char> bytes;
  while (bytes.size() < kEnvironmentCap) {
    const std::size_t chunk = kPage - (at % kPage);
    const std::size_t old = bytes.size();
    bytes.resize(old + chunk);
    SIZE_T got = 0;
    if (!ReadProcessMemory(process, reinterpret_cast<LPCVOID>(at), bytes.data() + old, chunk, &got) || got != chunk) {
      return std::nullopt;
    }
    at += chunk;
    const std::size_t chars = bytes.size() / 2;
    block.assign(reinterpret_cast<const wchar_t*>(bytes.data()), chars);
    if (const std::size_t end = block.find(std::wstring(2, L'\0')); end != std::wstring::npos) {
      block.resize(end + 1);
      return block;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::wstring> environment_variable_of(DWORD pid, const std::wstring& name) {
  UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
  if (!process) return std::nullopt;
  // Not in the import libraries the tests link with.
  using QueryFn = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  PROCESS_BASIC_INFORMATION info{};
  if (!query || query(process.get(), ProcessBasicInformation, &info, sizeof info, nullptr) != 0) return std::nullopt;
  std::uintptr_t parameters = 0, environment = 0;
  if (!read(process.get(), reinterpret_cast<std::uintptr_t>(info.PebBaseAddress) + kPebProcessParameters,
            parameters) ||
      !read(process.get(), parameters + kParametersEnvironment, environment) || environment == 0) {
    return std::nullopt;
  }
  std::optional<std::wstring> block = read_block(process.get(), environment);
  if (!block) return std::nullopt;
  const std::wstring prefix = name + L"=";
  for (std::size_t at = 0; at < block->size();) {
    const std::size_t end = block->find(L'\0', at);
    const std::wstring entry = block->substr(at, end - at);
    if (entry.size() >= prefix.size() && _wcsnicmp(entry.c_str(), prefix.c_str(), prefix.size()) == 0) {
      return entry.substr(prefix.size());
    }
    at = end + 1;
  }
  return std::nullopt;
}

}  // namespace velk::test
