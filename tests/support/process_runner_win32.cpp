#include "process_runner.h"

#include <windows.h>

#include <thread>

#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"

namespace velk::test {
namespace {

std::string drain(HANDLE h) {
  std::string s;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) s.append(buf, n);
  return s;
}

}  // namespace

std::filesystem::path test_binary_dir() {
  wchar_t buf[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
  return std::filesystem::path(std::wstring(buf, n)).parent_path();
}

namespace {

ProcessResult run_once(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                       unsigned timeout_ms) {
  ProcessResult result;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  UniqueHandle out_r, out_w, err_r, err_w;
  if (!CreatePipe(out_r.put(), out_w.put(), &sa, 0) || !CreatePipe(err_r.put(), err_w.put(), &sa, 0)) return result;
  SetHandleInformation(out_r.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_r.get(), HANDLE_FLAG_INHERIT, 0);
  UniqueHandle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                                   nullptr));

  std::vector<std::u16string> parts;
  parts.push_back(program.u16string());
  for (const auto& a : args) parts.emplace_back(a.begin(), a.end());
  std::u16string line = join_windows_command_line(parts);
  std::wstring cmd(line.begin(), line.end());

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.get();
  si.hStdOutput = out_w.get();
  si.hStdError = err_w.get();
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    result.err = "CreateProcessW failed with " + std::to_string(GetLastError());
    return result;
  }
  UniqueHandle process(pi.hProcess), thread(pi.hThread);
  out_w.reset();
  err_w.reset();

  std::string out, err;
  std::thread t_out([&] { out = drain(out_r.get()); });
  std::thread t_err([&] { err = drain(err_r.get()); });
  if (WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), INFINITE);
  }
  t_out.join();
  t_err.join();
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  result.exit_code = code;
  result.out = std::move(out);
  result.err = std::move(err);
  return result;
}

}  // namespace

// Under Wine a launch now and then fails, or the new process ends before it
// ran a line (exit code 0xFFFFFFFF, nothing written; no program these tests
// run ends that way): such a run is made again, at most twice.
ProcessResult run_program(const std::filesystem::path& program, const std::vector<std::wstring>& args,
                          unsigned timeout_ms) {
  ProcessResult result;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) Sleep(500);
    result = run_once(program, args, timeout_ms);
    const bool never_ran = result.exit_code == 0xFFFFFFFFu && !result.timed_out && result.out.empty() &&
                           (result.err.empty() || result.err.starts_with("CreateProcessW failed"));
    if (!never_ran) break;
  }
  return result;
}

ProcessResult run_helper(const std::vector<std::wstring>& args, unsigned timeout_ms) {
  return run_program(test_binary_dir() / L"velkvpn-helper.exe", args, timeout_ms);
}

}  // namespace velk::test
