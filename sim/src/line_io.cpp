#include "line_io.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace vxs_sim {

namespace {

using Direction = TranscriptEntry::Direction;

// A write that the line does not take within this time is given up.
constexpr std::chrono::milliseconds kWriteBound{500};

// How long the thread waits at most, to look at its deadlines again.
constexpr int kLongestWaitMs = 1000;

int MillisecondsUntil(LineIo::Clock::time_point deadline) {
    if (deadline == LineIo::Clock::time_point::max()) return kLongestWaitMs;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - LineIo::Clock::now())
            .count();
    // One more, so that the thread does not wake just before the deadline and wait again.
    return static_cast<int>(std::clamp<long long>(left + 1, 0, kLongestWaitMs));
}

// What the driver reads of bytes sent at another rate than its own: garbage. Each byte gets its
// top bit set, so that no LF or CR, and so no frame, gets through.
std::string Garbled(std::string bytes) {
    for (char& byte : bytes)
        byte = static_cast<char>((static_cast<unsigned char>(byte) ^ 0x55U) | 0x80U);
    return bytes;
}

std::string RateNote(int otherRate) {
    return "the driver's side is at " +
           (otherRate < 0 ? std::string("an unknown rate") : std::to_string(otherRate) + " baud");
}

}  // namespace

LineIo::LineIo(LinePort port, std::chrono::milliseconds idleLimit, std::mutex& lock,
               TranscriptLog& transcript)
    : port_(std::move(port)), lock_(lock), transcript_(transcript), assembler_(idleLimit) {
    if (pipe2(wakePipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot create a pipe");
    }
}

LineIo::~LineIo() {
    Stop();
    close(wakePipe_[0]);
    close(wakePipe_[1]);
}

void LineIo::Start(Handler& handler) {
    thread_ = std::thread([this, &handler] { Run(handler); });
}

void LineIo::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    Wake();
    thread_.join();
}

void LineIo::Wake() {
    const char byte = 1;
    // A full pipe already holds a wake-up; nothing is lost when this write fails.
    if (write(wakePipe_[1], &byte, 1) < 0) return;
}

void LineIo::Write(const std::vector<OutgoingPiece>& pieces) {
    const int otherRate = port_.OtherSideRate();
    std::string bytes;
    for (const OutgoingPiece& piece : pieces) bytes += piece.bytes;
    if (otherRate != 0) bytes = Garbled(std::move(bytes));
    // Recorded before the write, so that whatever the peer has read is already in the transcript.
    for (const OutgoingPiece& piece : pieces) {
        std::string detail = piece.detail;
        if (otherRate != 0) AddDetail(detail, "garbled: " + RateNote(otherRate));
        transcript_.Record(Direction::kSent, piece.controller, piece.kind, piece.bytes,
                           std::move(detail));
    }
    const std::size_t wrote = failed_ ? 0 : port_.Write(bytes, kWriteBound);
    if (wrote < bytes.size()) {
        transcript_.Note(-1, "write-failed",
                         std::to_string(bytes.size() - wrote) + " bytes did not go out");
    }
}

void LineIo::SetIdleLimit(std::chrono::milliseconds idleLimit) {
    assembler_ = FrameAssembler(idleLimit);
}

void LineIo::Run(Handler& handler) {
    while (!stopping_) {
        int timeoutMs = 0;
        bool watchLine = false;
        {
            std::lock_guard lock(lock_);
            const Clock::time_point now = Clock::now();
            std::vector<FrameAssembler::Piece> pieces;
            assembler_.Expire(now, pieces);
            Take(handler, pieces);
            const Clock::time_point due = handler.RunDue(now);
            timeoutMs = MillisecondsUntil(std::min(due, assembler_.NextDeadline()));
            // A line that failed is no longer watched, so that its error does not spin the loop.
            watchLine = !failed_;
        }
        handler.RoundDone();
        std::array<pollfd, 2> fds{pollfd{wakePipe_[0], POLLIN, 0},
                                  pollfd{watchLine ? port_.Fd() : -1, POLLIN, 0}};
        const int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) break;
        if ((fds[0].revents & POLLIN) != 0) {
            while (read(wakePipe_[0], buffer_.data(), buffer_.size()) > 0) {
            }
        }
        const short events = fds[1].revents;
        if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadAvailable(handler) &&
            (events & (POLLHUP | POLLERR)) != 0) {
            // Hung up with nothing left to read: the device is gone.
            std::lock_guard lock(lock_);
            Fail("the line hung up");
        }
    }
    handler.RoundDone();
}

bool LineIo::ReadAvailable(Handler& handler) {
    std::lock_guard lock(lock_);
    bool any = false;
    for (;;) {
        const ssize_t got = port_.Read(buffer_.data(), buffer_.size());
        if (got == 0) return any;
        if (got < 0) {
            Fail(std::strerror(errno));
            return any;
        }
        any = true;
        if (handler.Echoes()) {
            // The adapter's echo goes out as the bytes arrive, before anything answers them.
            Write({OutgoingPiece{-1, "echo",
                                 std::string(buffer_.data(), static_cast<std::size_t>(got)), ""}});
        }
        if (const int otherRate = port_.OtherSideRate(); otherRate != 0) {
            transcript_.Record(Direction::kReceived, -1, "noise",
                               std::string(buffer_.data(), static_cast<std::size_t>(got)),
                               RateNote(otherRate) + ": not taken");
            continue;
        }
        std::vector<FrameAssembler::Piece> pieces;
        assembler_.Feed(std::string_view(buffer_.data(), static_cast<std::size_t>(got)),
                        Clock::now(), pieces);
        Take(handler, pieces);
    }
}

// Records each piece as it arrived and hands on what the driver meant by it.
void LineIo::Take(Handler& handler, std::vector<FrameAssembler::Piece>& pieces) {
    for (FrameAssembler::Piece& piece : pieces) {
        switch (piece.kind) {
        case FrameAssembler::Piece::Kind::kNoise:
            transcript_.Record(Direction::kReceived, -1, "noise", std::move(piece.bytes), "");
            continue;
        case FrameAssembler::Piece::Kind::kIncomplete:
            transcript_.Record(Direction::kReceived, -1, "incomplete", std::move(piece.bytes),
                               "no CR where the frame should end");
            continue;
        case FrameAssembler::Piece::Kind::kFrame: break;
        }
        const ParsedFrame parsed = ParseFrame(piece.bytes);
        switch (parsed.kind) {
        case ParsedFrame::Kind::kAck:
            transcript_.Record(Direction::kReceived, -1, "ack", std::move(piece.bytes), "");
            handler.AckReceived();
            break;
        case ParsedFrame::Kind::kMalformed:
            transcript_.Record(Direction::kReceived, -1, "malformed", std::move(piece.bytes),
                               "not laid out as a frame; not answered");
            break;
        case ParsedFrame::Kind::kBadChecksum:
            transcript_.Record(Direction::kReceived, parsed.controller, "bad-checksum",
                               std::move(piece.bytes), "not answered");
            break;
        case ParsedFrame::Kind::kFrame:
            transcript_.Record(Direction::kReceived, parsed.controller, "frame",
                               std::move(piece.bytes), parsed.command);
            handler.CommandReceived(parsed);
            break;
        }
    }
}

void LineIo::Fail(const std::string& reason) {
    if (!failed_) transcript_.Note(-1, "line-failed", reason);
    failed_ = true;
}

}  // namespace vxs_sim
