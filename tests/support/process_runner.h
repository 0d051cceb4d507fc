#pragma once
// Windows-side tests: runs a program, captures its output, waits with a bound.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velk::test {

struct ProcessResult {
  std::uint32_t exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
  bool timed_out = false;
};

// The directory of the running test binary (the build directory).
std::filesystem::path test_binary_dir();

ProcessResult run_program(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                          unsigned timeout_ms = 30000);
// velkvpn-helper.exe from the build directory.
ProcessResult run_helper(const std::vector<std::wstring>& args, unsigned timeout_ms = 30000);

}  // namespace velk::test
