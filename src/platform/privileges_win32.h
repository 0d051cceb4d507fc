#pragma once
// Privileges that let the helper reach what someone else shut it out of
// (SeBackupPrivilege, SeRestorePrivilege), enabled for one calling thread and
// one scope only. They are enabled on a copy of the process's token that the
// thread impersonates, never on the process's own token, so no other thread
// gets them and no process started later (the engine) inherits them.

#include <windows.h>

#include <initializer_list>

namespace velk {

class ScopedThreadPrivileges {
 public:
  // Privileges the token lacks are simply not there; the scope is then as
  // strong as the token allows.
  explicit ScopedThreadPrivileges(std::initializer_list<const wchar_t*> names);
  ~ScopedThreadPrivileges();
  ScopedThreadPrivileges(const ScopedThreadPrivileges&) = delete;
  ScopedThreadPrivileges& operator=(const ScopedThreadPrivileges&) = delete;

 private:
  bool impersonating_ = false;
};

}  // namespace velk
