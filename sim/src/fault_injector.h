// The faults switched on for each controller, and what they do to the frames it sends: a wrong
// or lower-case checksum, a frame cut short, noise before it. The faults that decide whether and
// when a controller answers (silent, late, no acknowledgement, back to back) are looked up here
// by the parts that answer and send. The caller holds the simulator's lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "outgoing_piece.h"
#include "transcript_log.h"
#include "vxs_sim/simulator.h"

namespace vxs_sim {

class FaultInjector {
public:
    // The noise is pseudo-random and repeatable from 'noiseSeed'.
    FaultInjector(uint32_t noiseSeed, TranscriptLog& transcript);

    // controller -1: every controller. Throws std::out_of_range for another controller outside 0
    // to 7, std::invalid_argument for a setting out of range.
    void Set(int controller, Fault fault, const FaultSetting& setting);
    bool Active(int controller, Fault fault) const;
    // On for any controller (the faults of the whole line, such as echo).
    bool ActiveAnywhere(Fault fault) const;
    // When the fault is on: its setting, and one application counted (a fault with a count
    // switches itself off after the last). Nothing when it is off.
    std::optional<FaultSetting> Apply(int controller, Fault fault);

    // The checksummed frame of the command text as the controller sends it now, with the frame
    // faults that are on; an empty text is the end of an upload.
    OutgoingPiece Frame(int controller, const std::string& kind, const std::string& text);
    // 'count' bytes of noise, none of them LF or CR, so that the noise neither begins nor ends a
    // frame of its own. Throws std::invalid_argument unless 'count' is 1 to kMaxNoiseBytes.
    std::string Noise(std::size_t count);

private:
    // 'count' is the number of applications left; 0 is until switched off.
    FaultSetting& At(int controller, Fault fault);
    const FaultSetting& At(int controller, Fault fault) const;

    std::array<std::array<FaultSetting, kAllFaults.size()>, kControllerCount> settings_;
    std::mt19937 noise_;
    TranscriptLog& transcript_;
};

}  // namespace vxs_sim
