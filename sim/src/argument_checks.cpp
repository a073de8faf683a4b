#include "argument_checks.h"

#include <stdexcept>

#include "vxs_sim/simulator.h"

namespace vxs_sim {

void CheckController(int controller) {
    if (controller < 0 || controller >= kControllerCount) {
        throw std::out_of_range("controller " + std::to_string(controller) +
                                " is not one of 0 to 7");
    }
}

void CheckFieldText(const std::string& text, const char* what) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == ',' || c == ';') {
            throw std::invalid_argument(std::string(what) +
                                        " may hold printable characters other than ',' and ';'");
        }
    }
}

void CheckRange(long value, long low, long high, const char* what) {
    if (value < low || value > high) {
        throw std::invalid_argument(std::string(what) + " must be " + std::to_string(low) + " to " +
                                    std::to_string(high));
    }
}

void CheckCommandText(const std::string& text) {
    if (text.size() > kMaxCommandText) {
        throw std::invalid_argument("a command text holds at most " +
                                    std::to_string(kMaxCommandText) + " characters");
    }
    if (text.find_first_of(std::string{kLf, kCr}) != std::string::npos) {
        throw std::invalid_argument("a command text cannot hold LF or CR");
    }
}

}  // namespace vxs_sim
