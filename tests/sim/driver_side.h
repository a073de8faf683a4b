// The driver's end of the line in the simulator's tests: opens the pseudo-terminal's slave raw
// and reads and writes bytes with bounded waits. Frames are built and checked here with a
// checksum routine of the tests' own.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

using namespace std::chrono_literals;

// LF ";" text ";" four upper-case checksum digits CR.
std::string TestFrame(std::string_view text);

inline const std::string kAck = "\nA\r";

// The command text of a frame whose layout and checksum are right (either digit case);
// nothing otherwise.
std::optional<std::string> FrameText(std::string_view frame);

class DriverSide {
public:
    explicit DriverSide(const std::string& path);
    // Takes over a descriptor that is already open (the master of a pseudo-terminal).
    static DriverSide Adopt(int fd);
    DriverSide(DriverSide&& other) noexcept;
    ~DriverSide();
    DriverSide(const DriverSide&) = delete;
    DriverSide& operator=(const DriverSide&) = delete;

    void Write(std::string_view bytes);
    void SendFrame(std::string_view text) { Write(TestFrame(text)); }
    void SendAck() { Write(kAck); }

    // The next 'count' pieces that end in CR, waiting at most 'timeout' in all. Fewer when the
    // time runs out.
    std::vector<std::string> ReadFrames(std::size_t count, std::chrono::milliseconds timeout);
    std::string ReadFrame(std::chrono::milliseconds timeout = 2s);

    // Every byte that arrives until the line has been quiet for 'quiet' (at most 'timeout').
    std::string ReadUntilQuiet(std::chrono::milliseconds quiet,
                               std::chrono::milliseconds timeout = 3s);

    // True when no byte arrives within 'window'.
    bool QuietFor(std::chrono::milliseconds window);

    // Bytes received but not yet handed out.
    const std::string& Pending() const { return pending_; }

private:
    DriverSide() = default;

    // Reads what arrives within 'wait' into pending_; false when nothing came.
    bool Fill(std::chrono::milliseconds wait);

    int fd_ = -1;
    std::string pending_;
};

}  // namespace simtest
