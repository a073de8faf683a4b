// Reading the download file: which lines are sent, and the frame each one becomes.
#include "write/download_file.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "link/frame_format.h"
#include "qorpro/qorpro.h"
#include "write/text_lines.h"

namespace kiv {

namespace {

enum class LineKind {
    kSkipped,
    kFrame,
    kTooLong,
    kNoSemicolon,
    kTextTooLong,
    kNulByte,
};

// What a line read is; for a frame line 'text' is its frame text.
LineKind Classify(LineRead read, const TextLine& line, std::string_view& text) {
    if (read == LineRead::kTooLong) {
        return LineKind::kTooLong;
    }
    // Empty lines, lines of CRs alone, and the header.
    if (line.text.find_first_not_of('\r') == std::string_view::npos ||
        line.text == kSetupFileHeader) {
        return LineKind::kSkipped;
    }
    const size_t last = line.text.rfind(';');
    if (last == std::string_view::npos) {
        return LineKind::kNoSemicolon;
    }
    text = line.text.substr(0, last + 1);
    if (text.size() > kDownloadTextLimit) {
        return LineKind::kTextTooLong;
    }
    if (text.find('\0') != std::string_view::npos) {
        return LineKind::kNulByte;
    }
    return LineKind::kFrame;
}

size_t BuildFrame(std::string_view text, char (&frame)[kFrameBufferSize]) {
    std::memset(frame, 0, sizeof frame);
    frame[0] = kLineFeed;
    std::memcpy(frame + 1, text.data(), text.size());
    return AppendChecksumTail(frame, text.size() + 1);
}

void LogRefusal(LineKind kind, size_t lineNumber) {
    const auto line = static_cast<unsigned>(lineNumber);
    switch (kind) {
    case LineKind::kTooLong:
        err(32, "RIRODI: DownLoadFromFile() line %u is longer than %u characters, not sent", line,
            static_cast<unsigned>(kDownloadLineLimit));
        break;
    case LineKind::kNoSemicolon:
        err(32, "RIRODI: DownLoadFromFile() line %u has no ';', not sent", line);
        break;
    case LineKind::kTextTooLong:
        err(32,
            "RIRODI: DownLoadFromFile() line %u has a frame text longer than %u characters, not "
            "sent",
            line, static_cast<unsigned>(kDownloadTextLimit));
        break;
    case LineKind::kNulByte:
        err(32, "RIRODI: DownLoadFromFile() line %u holds a NUL byte, not sent", line);
        break;
    case LineKind::kSkipped:
    case LineKind::kFrame: break;
    }
}

}  // namespace

std::optional<DownloadFile> DownloadFile::Open(int instanceNumber) {
    char name[32];
    std::snprintf(name, sizeof name, kDownloadFileNameFormat, instanceNumber);
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    return DownloadFile(file);
}

DownloadFile::DownloadFile(DownloadFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      lineNumber_(other.lineNumber_),
      refusals_(other.refusals_),
      unloggedRefusals_(other.unloggedRefusals_) {}

DownloadFile& DownloadFile::operator=(DownloadFile&& other) noexcept {
    if (this != &other) {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        file_ = std::exchange(other.file_, nullptr);
        lineNumber_ = other.lineNumber_;
        refusals_ = other.refusals_;
        unloggedRefusals_ = other.unloggedRefusals_;
    }
    return *this;
}

DownloadFile::~DownloadFile() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

DownloadFile::NextResult DownloadFile::Next(char (&frame)[kFrameBufferSize], size_t& length) {
    if (file_ == nullptr) {
        return NextResult::kEnd;
    }
    for (;;) {
        TextLine line;
        const LineRead read = ReadTextLine(file_, line_, kDownloadLineLimit, line);
        if (read == LineRead::kEnd) {
            return NextResult::kEnd;
        }
        ++lineNumber_;
        std::string_view text;
        const LineKind kind = Classify(read, line, text);
        if (kind == LineKind::kSkipped) {
            continue;
        }
        if (kind == LineKind::kFrame) {
            length = BuildFrame(text, frame);
            return NextResult::kFrame;
        }
        if (++refusals_ <= kDownloadLinesLoggedInFull) {
            LogRefusal(kind, lineNumber_);
        } else {
            ++unloggedRefusals_;
        }
        return NextResult::kRefused;
    }
}

size_t DownloadFile::CountFrameLines() {
    if (file_ == nullptr) {
        return 0;
    }
    std::fpos_t position;
    if (std::fgetpos(file_, &position) != 0) {
        return 0;
    }
    std::rewind(file_);
    size_t count = 0;
    TextLine line;
    for (LineRead read = ReadTextLine(file_, line_, kDownloadLineLimit, line);
         read != LineRead::kEnd; read = ReadTextLine(file_, line_, kDownloadLineLimit, line)) {
        std::string_view text;
        if (Classify(read, line, text) != LineKind::kSkipped) {
            ++count;
        }
    }
    std::clearerr(file_);
    std::fsetpos(file_, &position);
    return count;
}

}  // namespace kiv
