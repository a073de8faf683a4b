// The frame trace of kivhost run: every frame both ways, whole, as the driver's monitoring
// records hand them over, in a text file and, where asked, in a pcap file.
//
// Text format: a header line beginning with "#", then one frame a line:
//
//   <seconds> <dir> <line> <frame>
//
// seconds since the start with six decimals, dir "out" (the driver sent it) or "in" (the driver
// received it), the line number from 1, and the frame with LF and CR as <LF> and <CR>, "<" and
// every other byte outside 0x20 to 0x7E as <XX> in hexadecimal.
//
// pcap: link type 147 (USER0); each packet is one byte of direction (0 out, 1 in), one byte of
// the line number (1 to 64), then the frame; its time stamp is the wall-clock time.
// tools/wireshark/vududidi.lua decodes them.
#pragma once

#include <cstdio>
#include <string>

namespace kivhost {

class TraceFile {
public:
    TraceFile() = default;
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Opens the files that have a path (either may be empty); false with the reason.
    bool Open(const std::string& textPath, const std::string& pcapPath, std::string& error);
    void Write(double seconds, bool outgoing, int line, const std::string& bytes);
    bool Active() const { return text_ != nullptr || pcap_ != nullptr; }

private:
    // Says on standard error, once a file, that a write to it failed (a full disk, /dev/full).
    void CheckWritten(std::FILE* file, const std::string& what, bool& said);

    std::FILE* text_ = nullptr;
    std::FILE* pcap_ = nullptr;
    std::string textWhat_, pcapWhat_;
    bool textSaid_ = false, pcapSaid_ = false;
};

}  // namespace kivhost
