#pragma once
// One call counter shared by the installer's fakes: every call they take is
// numbered, and the call whose number is `fail_at` fails.

#include <functional>
#include <string>

namespace velk::test {

struct FaultPlan {
  int fail_at = 0;  // 0: nothing fails
  int calls = 0;
  std::string failed;  // the name of the call that failed
  // Runs before every call takes effect (the crash explorer looks at the world there).
  std::function<void(const std::string&)> before_call;

  // Counts a call; true when this one is to fail.
  bool fails(const std::string& what) {
    if (before_call) before_call(what);
    ++calls;
    if (calls != fail_at) return false;
    failed = what;
    return true;
  }
};

}  // namespace velk::test
