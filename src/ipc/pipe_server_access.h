#pragma once
// Who may open the control pipe, and with which rights. The access bits are
// those of a pipe's file object (the Windows build checks them against its
// headers at compile time).

#include <cstdint>

namespace velk {

inline constexpr std::uint32_t kPipeReadData = 0x0001;                // FILE_READ_DATA
inline constexpr std::uint32_t kPipeWriteData = 0x0002;               // FILE_WRITE_DATA
inline constexpr std::uint32_t kPipeCreateInstance = 0x0004;          // FILE_CREATE_PIPE_INSTANCE
inline constexpr std::uint32_t kPipeWriteAttributes = 0x0100;         // FILE_WRITE_ATTRIBUTES
inline constexpr std::uint32_t kPipeGenericReadRights = 0x00120089;   // FILE_GENERIC_READ

// Interactive users read and write data and nothing more: in particular they
// cannot create instances of the helper's pipe name and serve its clients.
inline constexpr std::uint32_t kInteractiveUserPipeRights = kPipeGenericReadRights | kPipeWriteData;

// What every client of the pipe asks for when it opens it: exactly what
// interactive users are granted (generic write would ask for the right to
// create instances too, and be refused).
inline constexpr std::uint32_t kClientPipeAccess = kPipeGenericReadRights | kPipeWriteData;

// The pipe's protected access list: all rights to LocalSystem and to
// Administrators, kInteractiveUserPipeRights (0x12008b) to interactive users.
inline constexpr char kPipeSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)";

}  // namespace velk
