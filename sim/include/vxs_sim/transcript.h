// The simulator's time-stamped record of everything on the line, both directions.
#pragma once

#include <chrono>
#include <string>

namespace vxs_sim {

struct TranscriptEntry {
    enum class Direction {
        kReceived,  // bytes the driver sent, as the simulator cut them into pieces
        kSent,      // bytes the simulator wrote to the line
        kNote,      // something the simulator decided without a byte on the line
    };

    std::chrono::microseconds at{0};  // since the simulator started
    Direction direction = Direction::kNote;
    int controller = -1;  // the controller concerned; -1 for the whole line
    // What it was. Received: "ack", "frame", "bad-checksum", "malformed", "incomplete", "noise".
    // Sent: "ack", "answer" (the key answer), "status", "event", "upload", "upload-end", "frame",
    // "noise", "raw". Notes: "ignored" (a command not answered), "acknowledged" (the driver's
    // acknowledgement taken for a frame), "given-up", "stray-ack", "fault", "present",
    // "write-failed", "line-failed".
    std::string kind;
    std::string bytes;   // the bytes on the line (empty for notes)
    std::string detail;  // a short explanation: the command text, the fault applied, ...
};

const char* DirectionName(TranscriptEntry::Direction direction);

// One line for people: seconds, "rx"/"tx"/"--", controller, kind, escaped bytes, detail.
std::string FormatText(const TranscriptEntry& entry);

// One JSON object (no line end): {"t", "dir", "controller", "kind", "text", "hex", "detail"};
// "controller" is null for the whole line.
std::string FormatJson(const TranscriptEntry& entry);

}  // namespace vxs_sim
