#pragma once
// The environment another process runs with, read from its memory. A Wine
// service does not get the test's environment, nor quite the one a console
// process gets (its %ProgramData% is C:\users\Public), so the tests ask the
// service process itself.

#include <windows.h>

#include <optional>
#include <string>

namespace velk::test {

// The value of `name` (compared without regard to case) in the environment
// of process `pid`; none when unset or unreadable.
std::optional<std::wstring> environment_variable_of(DWORD pid, const std::wstring& name);

}  // namespace velk::test
