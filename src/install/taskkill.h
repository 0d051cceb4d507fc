#pragma once
// The system tool taskkill.exe, run with two arguments and "/F".

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

class Taskkill {
 public:
  virtual ~Taskkill() = default;
  // Runs it and waits for its end; its exit code and a failure to start are ignored.
  virtual void run(std::string_view arg1, std::string_view arg2) = 0;
};

// %SystemRoot%\System32\taskkill.exe, C:\Windows when the variable is unset.
std::string taskkill_program(const std::optional<std::string>& system_root);

// Windows build only.
std::unique_ptr<Taskkill> system_taskkill();

}  // namespace velk
