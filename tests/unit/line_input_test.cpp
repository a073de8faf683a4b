// Cutting frames from what the line brought in one block: where each frame ends, what stays for
// the next, and that a frame never takes more than its capacity.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "instance/driver_instance.h"
#include "link/line_input.h"

namespace {

using kiv::FrameCut;

// The frames cut from 'block' in a row, each with where it ended, until the block is used up.
std::vector<std::pair<std::string, FrameCut>> CutAll(const std::string& block, size_t capacity) {
    kiv::LineInput input{};
    std::memcpy(input.bytes, block.data(), block.size());
    kiv::AddInput(input, block.size(), 7);
    std::vector<std::pair<std::string, FrameCut>> frames;
    while (kiv::HasInput(input)) {
        char frame[kiv::kFrameBufferSize] = {};
        size_t count = 0;
        const FrameCut cut = kiv::CutFrame(input, frame, count, capacity);
        frames.emplace_back(std::string(frame, count), cut);
    }
    return frames;
}

struct CutCase {
    const char* what;
    std::string block;
    size_t capacity;
    std::vector<std::pair<std::string, FrameCut>> frames;
};

TEST(LineInputTest, FramesAreCutWhereTheyEnd) {
    const std::string event = "\n;V 12:00:00,00,01,1F;ABCD\r";
    const std::vector<CutCase> cases = {
        {"two frames in one block",
         event + "\nA\r",
         kiv::kFrameCapacity,
         {{event, FrameCut::kAtCarriageReturn}, {"\nA\r", FrameCut::kAtCarriageReturn}}},
        {"a frame's head: it goes on",
         "\n;V 12",
         kiv::kFrameCapacity,
         {{"\n;V 12", FrameCut::kOpen}}},
        {"noise, then a frame at its LF",
         "XY" + event,
         kiv::kFrameCapacity,
         {{"XY", FrameCut::kAtNextLineFeed}, {event, FrameCut::kAtCarriageReturn}}},
        {"a frame cut short by the next one's LF",
         "\n;L 1" + event,
         kiv::kFrameCapacity,
         {{"\n;L 1", FrameCut::kAtNextLineFeed}, {event, FrameCut::kAtCarriageReturn}}},
        {"an LF first begins the frame",
         "\n\n",
         kiv::kFrameCapacity,
         {{"\n", FrameCut::kAtNextLineFeed}, {"\n", FrameCut::kOpen}}},
        {"no end within the capacity",
         std::string(7, 'N') + "\r",
         4,
         {{"NNNN", FrameCut::kFull}, {"NNN\r", FrameCut::kAtCarriageReturn}}},
    };
    for (const CutCase& c : cases) {
        EXPECT_EQ(CutAll(c.block, c.capacity), c.frames) << c.what;
    }
}

TEST(LineInputTest, AReadOnlyHappensIntoAnEmptyInputAndNotesWhenItCame) {
    kiv::LineInput input{};
    EXPECT_EQ(kiv::InputRoom(input), kiv::kLineInputSize);
    kiv::AddInput(input, 3, 42);
    EXPECT_TRUE(kiv::HasInput(input));
    EXPECT_EQ(input.arrivedAtMs, 42U);
    EXPECT_EQ(kiv::InputRoom(input), 0U);
    // A count beyond the buffer (no read brings one) is held to it.
    kiv::AddInput(input, kiv::kLineInputSize + 5, 43);
    EXPECT_EQ(input.end, kiv::kLineInputSize);
    kiv::ClearInput(input);
    EXPECT_FALSE(kiv::HasInput(input));
}

}  // namespace
