#pragma once
// Windows command lines: quoting arguments the way CommandLineToArgvW and the
// C runtime split them again.

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

// One argument, quoted only when it needs to be.
std::u16string quote_windows_argument(std::u16string_view arg);
// Program and arguments joined into one command line.
std::u16string join_windows_command_line(std::span<const std::u16string> args);
// The usual Windows splitting rules (those of CommandLineToArgvW): the first
// argument (the program) ends at the first space outside quotes and takes no
// backslash escapes; later ones honour quotes and backslash runs.
std::vector<std::u16string> split_windows_command_line(std::u16string_view line);

}  // namespace velk
