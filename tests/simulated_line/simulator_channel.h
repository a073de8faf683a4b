// The simulated-line tests' way to the line simulator. The test program does not start vxs-sim
// itself: run_with_sim.py starts it, gives this program the line with --port, and reads this
// program's standard output. A request line there asks it to pass one command (vxs-sim's own
// command language) to the simulator; its answer comes back on standard input once the
// simulator has taken the command, so that what follows on the line is the command's effect.
// The same channel works for the Windows program under Wine, where the simulator runs natively.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace linktest {

// What a request line begins with; the wrapper looks for it anywhere in a line.
inline constexpr char kRequestMark[] = "@vxs-sim ";

// The line to open, as given with --port ("pts/3" on Linux, "COM21" under Wine).
const std::string& PortName();
void SetPortName(const std::string& name);

// Runs one simulator command: success once the simulator has taken it, otherwise a failure
// with the simulator's reason (also when the wrapper does not answer).
testing::AssertionResult Sim(const std::string& command);

}  // namespace linktest
