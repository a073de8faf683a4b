// No simulated line on Windows: there is no pseudo-terminal.
#include "system/simulated_line.h"

namespace kivhost {

std::unique_ptr<SimulatedLine> StartSimulatedLine(const SimulatedLineOptions& /*options*/,
                                                  std::string& error) {
    error =
        "there is no simulated line on Windows: give --port COMn (a real line, or a COM port "
        "onto a vxs-sim on Linux)";
    return nullptr;
}

}  // namespace kivhost
