// kivhost scan --baud auto: the line tried at each rate the system takes, quickly, before the
// driver scans it at the rate found. At each rate the line is opened as the driver opens it, each
// controller asked is sent the status request the driver's poll sends, and its acknowledgement is
// awaited for a short while: far shorter than the driver's three attempts of an answer time each,
// which would take minutes per rate on a silent line.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "kiv/kiv_abi.h"

namespace kivhost {

// The most the rate trial takes; a rate whose trial would end later is not tried.
inline constexpr std::chrono::seconds kRateTrialBound{30};

// How long a controller is given to acknowledge, after its request's time on the wire.
inline constexpr std::chrono::milliseconds kAcknowledgeWait{250};

struct RateTrial {
    int baud = 0;
    bool tried = false;
    std::vector<int> acknowledged;  // the controllers that acknowledged at this rate
};

// The rates in the order they are tried: 9600 and 19200, the common ones, then the rest from
// the fastest down.
std::vector<int> RatesToTry();

// Tries the line 'port' (as the driver takes it) at each rate in turn, with the other settings
// of 'settings', asking the controllers 'asked'. It stops after the first rate at which one
// acknowledges, unless 'allRates'; the rest are listed as not tried, as are those that do not
// fit within kRateTrialBound. Progress goes to standard error unless 'quiet'.
std::vector<RateTrial> TryRates(const std::string& port, LineSettings settings,
                                const std::vector<int>& asked, bool allRates, bool quiet);

}  // namespace kivhost
