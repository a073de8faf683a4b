// Lines whose simulator runs in a process of its own (bin/vxs-sim beside the benchmark), so
// that the benchmark's process holds the driver alone, and a feeder process that has the
// simulators send events at a steady rate. getrusage(RUSAGE_SELF) of the benchmark is then the
// driver's CPU (with the stand-in host library and the benchmark's tag counting).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace linebench {

// bin/vxs-sim, beside this program.
inline std::string SimulatorProgram() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vxs-sim").string();
}

// One vxs-sim --pty process: its commands through a pipe, its transcript into a file of the
// working folder (whose first line is the pseudo-terminal to open).
class SimulatorProcess {
public:
    explicit SimulatorProcess(size_t index) {
        const std::string transcript = "sim-" + std::to_string(index) + ".txt";
        int commands[2];
        if (pipe(commands) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        input_ = commands[1];
        fcntl(input_, F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, commands[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, transcript.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string program = SimulatorProgram();
        char* const argv[] = {const_cast<char*>(program.c_str()),
                              const_cast<char*>("--pty"),
                              const_cast<char*>("--controllers"),
                              const_cast<char*>("0,1"),
                              const_cast<char*>("--ack-delay"),
                              const_cast<char*>("0"),
                              nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", program.c_str());
            std::exit(1);
        }
        posix_spawn_file_actions_destroy(&actions);
        close(commands[0]);
        device_ = FirstLine(transcript);
    }
    ~SimulatorProcess() {
        (void)!write(input_, "quit\n", 5);
        close(input_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    const std::string& Device() const { return device_; }
    int Input() const { return input_; }

private:
    static std::string FirstLine(const std::string& path) {
        for (int i = 0; i < 500; ++i) {
            std::ifstream file(path);
            std::string line;
            if (std::getline(file, line) && file.good()) {
                return line;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::fprintf(stderr, "vxs-sim named no line in %s\n", path.c_str());
        std::exit(1);
    }
    pid_t pid_ = 0;
    int input_ = -1;
    std::string device_;
};

// A process of its own that writes 'count' event commands to each simulator, one round every
// 1/'rate' s from 'start' (CLOCK_MONOTONIC, the steady clock's), then ends. Only write(2),
// clock_nanosleep(2) and _exit(2) run in it: the benchmark's process has threads.
inline pid_t StartFeeder(const std::vector<int>& inputs, double rate, int count,
                         std::chrono::steady_clock::time_point start) {
    std::vector<std::string> commands;
    for (int e = 0; e < count; ++e) {
        commands.push_back("event " + std::to_string(e % 2) +
                           " 10 unit=" + std::to_string(1 + e % 4) + "\n");
    }
    const int64_t first =
        std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    for (int e = 0; e < count; ++e) {
        const auto at = first + static_cast<int64_t>(1e9 * e / rate);
        const timespec when{static_cast<time_t>(at / 1000000000),
                            static_cast<long>(at % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) != 0) {
        }
        for (const int input : inputs) {
            (void)!write(input, commands[e].data(), commands[e].size());
        }
    }
    _exit(0);
}

}  // namespace linebench
