#pragma once
// Exit codes of the installer modes.

namespace velk::install_code {

inline constexpr int kDone = 0;              // installed and answering / removed / nothing active
inline constexpr int kNoDirectory = 2;       // the directory argument is missing
inline constexpr int kActive = 10;           // inspection: something is active
inline constexpr int kStageDamaged = 20;     // nothing was changed
inline constexpr int kNotStopped = 21;       // the old service did not stop
inline constexpr int kFiltersRemain = 22;    // the kill-switch filters were not removed
inline constexpr int kFileInUse = 23;        // a file of the installation is in use
inline constexpr int kNotDeleted = 24;       // the old service was not deleted
inline constexpr int kRolledBack = 25;       // the previous version is back in service
inline constexpr int kRollbackFailed = 26;   // as 25, but putting it back failed, or the new service did not stop
inline constexpr int kDirectoryUnprotected = 27;  // others may change the install directory; nothing was changed

}  // namespace velk::install_code
