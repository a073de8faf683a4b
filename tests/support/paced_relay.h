// A pseudo-terminal pair and a relay that paces it like a serial wire, for the line benchmarks
// and the soak. A pseudo-terminal has no baud rate: the relay between the simulator's terminal
// and the driver's passes the bytes each way no faster than the wire would (10 bits a byte), in
// pieces of at most 16 bytes (as a UART's receive FIFO hands them over), each when its last byte
// has crossed.
#pragma once

#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace kivtest {

// A pseudo-terminal whose slave the driver opens.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        char path[128] = {};
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        name = path;
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// Passes bytes between two descriptors, each way at most as fast as a wire of 'baud'.
class PacedRelay {
public:
    PacedRelay(int a, int b, int baud) : a_(a), b_(b), baud_(baud) {
        one_ = std::thread([this] { Pass(a_, b_); });
        two_ = std::thread([this] { Pass(b_, a_); });
    }
    ~PacedRelay() {
        stop_ = true;
        one_.join();
        two_.join();
    }
    PacedRelay(const PacedRelay&) = delete;
    PacedRelay& operator=(const PacedRelay&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kPiece = 16;

    void Pass(int from, int to) const {
        // Pieces are handed over when their last byte has crossed, not up to the default 50 us
        // of timer slack later: the wire, not the relay, sets the pace.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const auto byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(10.0 / baud_));
        std::string pending;
        Clock::time_point wireFree = Clock::now();  // when the last byte passed has crossed
        while (!stop_) {
            const Clock::time_point now = Clock::now();
            const size_t piece = std::min(kPiece, pending.size());
            const Clock::time_point due = wireFree + byteTime * static_cast<int>(piece);
            if (piece > 0 && now >= due) {
                (void)!write(to, pending.data(), piece);
                pending.erase(0, piece);
                wireFree = due;
                continue;
            }
            const auto wait =
                piece > 0 ? due - now : Clock::duration(std::chrono::milliseconds(50));
            const timespec span{
                static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(wait).count()),
                static_cast<long>((wait % std::chrono::seconds(1)).count())};
            pollfd in{from, POLLIN, 0};
            if (ppoll(&in, 1, &span, nullptr) > 0) {
                char buffer[512];
                const ssize_t n = read(from, buffer, sizeof buffer);
                if (n > 0) {
                    if (pending.empty()) {
                        wireFree = std::max(wireFree, Clock::now());  // an idle wire starts now
                    }
                    pending.append(buffer, static_cast<size_t>(n));
                }
            }
        }
    }
    int a_;
    int b_;
    int baud_;
    std::atomic<bool> stop_{false};
    std::thread one_;
    std::thread two_;
};

}  // namespace kivtest
