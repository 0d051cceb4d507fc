#include "platform/privileges_win32.h"

#include "platform/unique_handle_win32.h"

namespace velk {

ScopedThreadPrivileges::ScopedThreadPrivileges(std::initializer_list<const wchar_t*> names) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &raw)) return;
  UniqueHandle process_token(raw);
  raw = nullptr;
  if (!::DuplicateTokenEx(process_token.get(), TOKEN_ADJUST_PRIVILEGES | TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr,
                          SecurityImpersonation, TokenImpersonation, &raw)) {
    return;
  }
  UniqueHandle copy(raw);
  for (const wchar_t* name : names) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (::LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) {
      (void)::AdjustTokenPrivileges(copy.get(), FALSE, &tp, 0, nullptr, nullptr);
    }
  }
  // The thread holds its own reference to the token from here on.
  impersonating_ = ::SetThreadToken(nullptr, copy.get()) != 0;
}

ScopedThreadPrivileges::~ScopedThreadPrivileges() {
  if (impersonating_) (void)::RevertToSelf();
}

}  // namespace velk
