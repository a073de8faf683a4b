// What the simulator writes to the line, piece by piece: the parts that build a write (answers,
// unsolicited frames, faults) hand these to the line, which writes them at once and records each
// in the transcript.
#pragma once

#include <string>

namespace vxs_sim {

struct OutgoingPiece {
    int controller = -1;  // -1: the whole line (noise, raw bytes)
    std::string kind;     // the transcript's kind: "ack", "answer", "event", "noise", ...
    std::string bytes;
    std::string detail;  // the transcript's detail: the command text, the faults applied, ...
};

// Adds a clause to a transcript detail, comma-separated: "fault badcrc, back to back".
inline void AddDetail(std::string& detail, const std::string& more) {
    if (!detail.empty()) detail += ", ";
    detail += more;
}

}  // namespace vxs_sim
