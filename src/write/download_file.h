// The download file "zezDSetup%02d.dat" (the instance number, "zezDSetup01.dat" for instance 1):
// a prepared controller setup that a write of 1 to an FSPARS command tag sends, one frame per
// line. The file is read in binary; lines end in CR LF or LF and give the same frames either way.
//
// - Skipped without a word: the header line "CONTENT OF SETUP PARAMETERS." (wherever it stands),
//   empty lines and lines that hold nothing but CRs.
// - A frame line: its characters from the start through its last ";" are the frame text;
//   whatever follows the last ";" (an old checksum) is dropped. The frame is LF, the text as it
//   stands (not upper-cased), its CRC-16 as four upper-case hexadecimal digits, CR. A file in the
//   layout of the setup upload file is thus sent back with fresh checksums.
// - Refused, each with a log line naming the line (the first ten; the rest are counted), and
//   never sent in part: a line of more than
//   255 characters before its line end (dropped whole; its rest is not read as a line of its
//   own), a line without ";", a frame text of more than 249 characters (the frame would not fit
//   255 bytes), a frame text that holds a NUL byte.
#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>

#include "instance/driver_instance.h"
#include "receive/event_files.h"

namespace kiv {

// The file name, formatted with the instance number.
inline constexpr char kDownloadFileNameFormat[] = "zezDSetup%02d.dat";
// The characters of a line before its line end.
inline constexpr size_t kDownloadLineLimit = 255;
// The longest frame text: LF, the text, four digits and CR make a frame of at most 255 bytes.
inline constexpr size_t kDownloadTextLimit = kFrameCapacity - 1 - 6;
// Lines of one kind (refused lines, lines whose sending failed) logged one by one per download;
// the rest are counted, and the count is logged when the download ends, so that a file of
// 100 000 bad lines cannot flood the host's log.
inline constexpr size_t kDownloadLinesLoggedInFull = 10;

class DownloadFile {
public:
    enum class NextResult {
        kFrame,    // the next frame is in the buffer
        kRefused,  // the next line that is not skipped was refused, and logged
        kEnd,      // no more lines
    };

    // Opens the download file of this instance in the working directory; none when it cannot be
    // opened.
    static std::optional<DownloadFile> Open(int instanceNumber);

    // Takes over a file opened in binary; closes it when done.
    explicit DownloadFile(std::FILE* file) : file_(file) {}
    DownloadFile(DownloadFile&& other) noexcept;
    DownloadFile& operator=(DownloadFile&& other) noexcept;
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;
    ~DownloadFile();

    // Reads on to the next line that is not skipped. For a frame line the buffer is cleared and
    // holds the frame and a terminator, and 'length' its length (at most 255). For a refused
    // line the buffer and 'length' are left as they were.
    NextResult Next(char (&frame)[kFrameBufferSize], size_t& length);

    // The number of the line Next looked at last, from 1 (0 before the first).
    size_t LineNumber() const { return lineNumber_; }

    // Refused lines past the first kDownloadLinesLoggedInFull, which were not logged.
    size_t UnloggedRefusals() const { return unloggedRefusals_; }

    // How many lines of the whole file Next reports as kFrame or kRefused (every line but the
    // skipped ones), for progress reports. May be called at any time; the reading position stays.
    size_t CountFrameLines();

private:
    std::FILE* file_ = nullptr;
    size_t lineNumber_ = 0;
    size_t refusals_ = 0;
    size_t unloggedRefusals_ = 0;
    char line_[kDownloadLineLimit + 1] = {};
};

}  // namespace kiv
