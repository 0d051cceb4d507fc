#include <windows.h>

#include <vector>

#include "install/taskkill.h"
#include "platform/text.h"
#include "platform/unique_handle_win32.h"
#include "platform/windows_args.h"

namespace velk {
namespace {

std::optional<std::string> system_root() {
  wchar_t buffer[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(L"SystemRoot", buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return std::nullopt;
  return utf8_from_utf16(std::u16string(reinterpret_cast<const char16_t*>(buffer), n));
}

class Win32Taskkill final : public Taskkill {
 public:
  void run(std::string_view arg1, std::string_view arg2) override {
    const std::u16string program = utf16_from_utf8(taskkill_program(system_root()));
    const std::vector<std::u16string> args{program, utf16_from_utf8(arg1), utf16_from_utf8(arg2), u"/F"};
    std::u16string line = join_windows_command_line(args);
    std::wstring app(program.begin(), program.end()), cmd(line.begin(), line.end());

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    UniqueHandle null_out(
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = null_out.get();
    si.hStdError = null_out.get();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(app.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi)) {
      return;
    }
    UniqueHandle process(pi.hProcess), thread(pi.hThread);
    // Bounded, so that a hung tool cannot hold the installer forever.
    WaitForSingleObject(process.get(), 60000);
  }
};

}  // namespace

std::unique_ptr<Taskkill> system_taskkill() { return std::make_unique<Win32Taskkill>(); }

}  // namespace velk
