// The host's line settings as a person names them (9600 baud, parity none, ...), the port name
// as the driver takes it, and lists of controllers: what 'run', 'scan' and 'port-check' check
// before a line is opened.
#pragma once

#include <string>
#include <vector>

#include "kiv/kiv_abi.h"

namespace kivhost {

// LineOptions::baud for "--baud auto": the line's rate is to be found ('scan').
inline constexpr int kAutoBaud = 0;

struct LineOptions {
    int baud = 9600;
    int dataBits = 8;
    std::string parity = "none";
    std::string stopBits = "1";
};

// A line as the driver is started on it ('run', 'scan'): the port (empty: a simulated line), its
// settings, the answer time-out and the host's instance number.
struct DriverLineOptions {
    std::string port;
    LineOptions line;
    int answerTimeoutMs = 1000;
    int instance = 1;
};

// The host's answer time-out (CommParams::answerTimeout) counts in units of this many ms.
inline constexpr int kMsPerAnswerTimeoutUnit = 10;

// Whether the system takes the rate (the platform's BaudRates), and those rates as a person
// reads them: "50, 75, ..., 57600".
bool RateTaken(int baud);
std::string RateListText();

// The host's line settings of the options; false with the usage message when one is out of
// range.
bool MakeLineSettings(const LineOptions& options, LineSettings& settings, std::string& message);

// "9600 baud, 8 data bits, parity none, 1 stop bit".
std::string SettingsText(const LineSettings& settings);

// The port name as the driver takes it: at most the host's 12 characters, a "/dev/" in front
// dropped when the whole path does not fit. A longer path that is a link (a stable name such as
// /dev/serial/by-id/usb-FTDI_...) names the device it points to. False when it cannot be made to
// fit.
bool DriverPortName(const std::string& port, std::string& name);

// A list of controller numbers 0 to 7: "0,3,5", ranges "0-3", or both ("0-2,5"); false with
// the reason when it is not one. The numbers come out sorted, each once.
bool ParseControllerList(const std::string& text, std::vector<int>& controllers,
                         std::string& message);

}  // namespace kivhost
