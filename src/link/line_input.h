// What the line brought and no frame has taken yet.
//
// The receiver reads the line in blocks: one read takes all the line holds (up to
// kLineInputSize bytes), and frames are cut from here. The bytes after a frame's CR stay for
// the next frame, and so does an LF that begins the next frame after noise or after a frame cut
// short.
//
// A frame's gap is judged on when its bytes came, not on how they were batched. A read returns
// what the line holds at that moment, so each of its bytes had come when it returned
// ('arrivedAtMs'); the frame in hand ends when no byte comes within the gap after that moment,
// however long the bytes then waited here for their frame. Bytes that waited in the system's
// queue while the receiver was busy show no gap between them, as with reads of one byte each.
//
// The input (LineInput) lives in the instance, zeroed when empty, and is guarded like rxBuffer
// by the port lock. A port that changes begins with none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

// Where the bytes a frame took from the input ended it, as far as the input went.
enum class FrameCut {
    kOpen,              // the input is used up; the frame goes on
    kAtCarriageReturn,  // at its CR (taken)
    kAtNextLineFeed,    // at an LF that is not its first byte (left for the next frame)
    kFull,              // at 'capacity' bytes
};

inline bool HasInput(const LineInput& input) {
    return input.start < input.end;
}

inline void ClearInput(LineInput& input) {
    input.start = 0;
    input.end = 0;
}

// Moves bytes from the input to the end of 'frame', which holds 'count' bytes and takes at most
// 'capacity', until the frame ends or the input is used up.
FrameCut CutFrame(LineInput& input, char* frame, size_t& count, size_t capacity);

// The room for a read: the whole buffer, once every byte was taken (reads happen only then).
// Nothing when bytes are still held.
inline size_t InputRoom(const LineInput& input) {
    return HasInput(input) ? 0 : sizeof input.bytes;
}

// Notes 'count' bytes that a read stored from the start of the buffer at 'nowMs'.
void AddInput(LineInput& input, size_t count, uint64_t nowMs);

}  // namespace kiv
