// The exit codes of kivhost, the same for every subcommand.
#pragma once

namespace kivhost {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRejected = 1;  // the command ran and found something wrong
inline constexpr int kExitUsage = 2;     // wrong arguments, unreadable input
inline constexpr int kExitNoDriver = 3;  // the driver library cannot be loaded

}  // namespace kivhost
