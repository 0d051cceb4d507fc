#include "platform/file_security_win32.h"

#include <aclapi.h>
#include <sddl.h>

#include "platform/text.h"
#include "platform/unique_handle_win32.h"

namespace velk {

std::optional<std::string> sid_string(PSID sid) {
  UniqueLocal<LPWSTR> text;
  if (sid == nullptr || !::ConvertSidToStringSidW(sid, text.put()) || text.get() == nullptr) return std::nullopt;
  return utf8_from_utf16(reinterpret_cast<const char16_t*>(text.get()));
}

std::optional<SecurityView> read_security(HANDLE h) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  UniqueLocal<PSECURITY_DESCRIPTOR> descriptor;
  if (::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, descriptor.put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  SecurityView view;
  view.owner = sid_string(owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (::GetSecurityDescriptorControl(descriptor.get(), &control, &revision)) {
    view.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  }
  view.has_dacl = dacl != nullptr;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(dacl, i, &raw)) {
      view.entries.emplace_back();
      continue;
    }
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    AceView ace;
    ace.type = header->AceType;
    ace.flags = header->AceFlags;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Both types have the layout of ACCESS_ALLOWED_ACE.
      const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      ace.mask = allowed->Mask;
      ace.sid = sid_string(const_cast<DWORD*>(&allowed->SidStart));
    }
    view.entries.push_back(std::move(ace));
  }
  return view;
}

}  // namespace velk
