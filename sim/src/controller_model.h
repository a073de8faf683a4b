// What the controllers on the line hold and how each answers a command: whether it is on the
// line, its status, its keys, the setup it has been sent, and the texts of its status report,
// setup upload and events. It knows nothing of timing, faults or the line; the caller holds the
// simulator's lock.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "key_table.h"
#include "transcript_log.h"
#include "vxs_sim/simulator.h"

namespace vxs_sim {

// What a controller sends back for a command, besides its acknowledgement.
struct ControllerReply {
    enum class Kind {
        kNothing,
        kKeyAnswer,     // "L stored,number"
        kStatusReport,  // "S T,..."
        kUpload,        // the setup upload, once the driver has had time for the acknowledgement
    };
    Kind kind = Kind::kNothing;
    std::string text;  // the key answer's or the status report's command text
};

class ControllerModel {
public:
    // Every controller starts with the setup it has before anything is sent to it; those named in
    // 'present' are on the line. Throws std::out_of_range for a number outside 0 to 7.
    ControllerModel(const std::vector<int>& present, TranscriptLog& transcript);

    // The public calls: a controller number outside 0 to 7 throws std::out_of_range, a value a
    // frame cannot carry std::invalid_argument.
    bool Present(int c) const;
    void SetPresent(int c, bool present);
    ControllerStatus Status(int c) const;
    void SetStatus(int c, const ControllerStatus& status);
    std::string StatusText(int c) const;
    bool PutKey(int c, const std::string& code, long number);
    std::optional<KeyInfo> FindKey(int c, const std::string& code) const;
    std::vector<std::string> SetupLines(int c) const;
    // The event's command text "V DD/MM/YY HH:MM:SS,code,unit,badge".
    static std::string EventText(const EventSpec& event);

    // Takes a command addressed to controller c, which is on the line: remembers what a setup
    // command sets, and says what goes back.
    ControllerReply Take(int c, const std::string& command);

private:
    struct Controller {
        bool present = false;
        ControllerStatus status;
        KeyTable keys;
        std::map<char, std::string> timeZones;   // "T d,..." by zone digit
        std::map<char, std::string> parameters;  // "S x..." by option letter
    };

    Controller& At(int c);
    const Controller& At(int c) const;
    void ApplySetup(int c, const std::string& command);

    std::array<Controller, kControllerCount> controllers_;
    TranscriptLog& transcript_;
};

}  // namespace vxs_sim
