#include "platform/random.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>

#include "ipc/error_codes.h"

namespace velk {
namespace {

using ProcessPrngFn = BOOL(WINAPI*)(PBYTE, SIZE_T);

// ProcessPrng lives in bcryptprimitives.dll from Windows 10 on; it is looked
// up once and the library stays loaded for the life of the process.
ProcessPrngFn process_prng() {
  static const ProcessPrngFn fn = [] {
    HMODULE lib = ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!lib) return ProcessPrngFn{nullptr};
    return reinterpret_cast<ProcessPrngFn>(reinterpret_cast<void*>(::GetProcAddress(lib, "ProcessPrng")));
  }();
  return fn;
}

bool bcrypt_fill(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const ULONG n = static_cast<ULONG>(std::min<std::size_t>(buffer.size(), ULONG_MAX));
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, buffer.data(), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    buffer = buffer.subspan(n);
  }
  return true;
}

}  // namespace

Outcome fill_random(std::span<std::uint8_t> buffer) {
  if (buffer.empty()) return {};
  if (auto fn = process_prng()) {
    // Documented to always succeed; a FALSE is still taken as a failure.
    if (fn(buffer.data(), buffer.size())) return {};
    return fail(err::engine_controller);
  }
  if (bcrypt_fill(buffer)) return {};
  return fail(err::engine_controller);
}

}  // namespace velk
