// The command language of vxs-sim, run in-process, and the command itself as a program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "driver_side.h"
#include "vxs_sim/command_interpreter.h"
#include "vxs_sim/simulator.h"

namespace {

using namespace std::chrono_literals;
using vxs_sim::CommandResult;
using vxs_sim::RunCommandLine;
using Direction = vxs_sim::TranscriptEntry::Direction;

class CommandLanguageTest : public testing::Test {
protected:
    void SetUp() override {
        vxs_sim::SimulatorOptions options;
        options.timing.resendAfter = 5000ms;  // no resend while a test looks
        sim_ = vxs_sim::Simulator::OnPty(options);
        driver_ = std::make_unique<simtest::DriverSide>(sim_->DevicePath());
    }

    CommandResult::Status Run(const std::string& line) {
        return RunCommandLine(*sim_, line).status;
    }

    std::unique_ptr<vxs_sim::Simulator> sim_;
    std::unique_ptr<simtest::DriverSide> driver_;
};

TEST_F(CommandLanguageTest, RefusesWhatItCannotDo) {
    const std::vector<std::string> refused = {
        "bogus",
        "event",
        "event 8 0",
        "event 0 100",
        "event 0 1 unit=0",
        "event 0 1 badge=XYZ",
        "event 0 1 time=25-00-00",
        "event 0 1 colour=red",
        "status 0 mode=12",
        "status 0 text=A,B",
        "status 0 word=65536",
        "status 0 ai5=1",
        "status 0 text=\"open",
        "fault nothing on",
        "fault silent maybe",
        "fault silent on 9",
        "fault noise on 0 bytes=0",
        "present 0 yes",
        "key 0 CODE 1000000000",
        "frame 9 C ",
        "noise 0",
        "timing resend=-1",
        "order sideways",
        "wait x",
    };
    for (const std::string& line : refused) {
        const CommandResult result = RunCommandLine(*sim_, line);
        EXPECT_EQ(result.status, CommandResult::Status::kError) << line;
        EXPECT_FALSE(result.message.empty()) << line;
    }
    // Nothing refused reached the line.
    EXPECT_TRUE(driver_->QuietFor(100ms));
}

TEST_F(CommandLanguageTest, CommandsTakeEffect) {
    EXPECT_EQ(Run(""), CommandResult::Status::kOk);
    EXPECT_EQ(Run("  # a comment"), CommandResult::Status::kOk);
    EXPECT_EQ(Run("quit"), CommandResult::Status::kQuit);
    EXPECT_EQ(RunCommandLine(*sim_, "help").message, vxs_sim::CommandHelp());
    EXPECT_EQ(RunCommandLine(*sim_, "echo  done 1 ").message, "done 1 \n");
    EXPECT_EQ(RunCommandLine(*sim_, "echo").message, "\n");

    ASSERT_EQ(Run("status 2 mode=3 keys=12 word=1040 text=\"MAIN DOOR\" ai1=5 ai4=9 version=V3"),
              CommandResult::Status::kOk);
    EXPECT_EQ(sim_->StatusText(2), "S T,3,12,1040,MAIN DOOR,5,0,0,9,V3");
    ASSERT_EQ(Run("status 2 keys=auto"), CommandResult::Status::kOk);
    EXPECT_FALSE(sim_->Status(2).keys.has_value());

    ASSERT_EQ(Run("fault late on 4 count=2 ms=300"), CommandResult::Status::kOk);
    EXPECT_TRUE(sim_->FaultActive(4, vxs_sim::Fault::kLateAnswer));
    EXPECT_FALSE(sim_->FaultActive(3, vxs_sim::Fault::kLateAnswer));
    ASSERT_EQ(Run("fault noack on all"), CommandResult::Status::kOk);
    ASSERT_EQ(Run("fault noack off"), CommandResult::Status::kOk);
    for (int c = 0; c < vxs_sim::kControllerCount; ++c) {
        EXPECT_FALSE(sim_->FaultActive(c, vxs_sim::Fault::kNoAck));
    }

    ASSERT_EQ(Run("present 5 off"), CommandResult::Status::kOk);
    EXPECT_FALSE(sim_->IsPresent(5));
    ASSERT_EQ(Run("key 1 00000000AB 42"), CommandResult::Status::kOk);
    EXPECT_EQ(sim_->FindKey(1, "00000000AB")->number, 42);

    ASSERT_EQ(Run("timing ack=1 gap=2 upload=3 resend=4000 resends=5 data-ack=6"),
              CommandResult::Status::kOk);
    const vxs_sim::Timing timing = sim_->GetTiming();
    EXPECT_EQ(timing.ackDelay, 1ms);
    EXPECT_EQ(timing.answerGap, 2ms);
    EXPECT_EQ(timing.uploadPause, 3ms);
    EXPECT_EQ(timing.resendAfter, 4000ms);
    EXPECT_EQ(timing.resends, 5);
    EXPECT_EQ(timing.dataAckWait, 6ms);

    ASSERT_EQ(Run("event 3 18 unit=7 badge=1f time=10:11:12 date=01/02/03"),
              CommandResult::Status::kOk);
    EXPECT_EQ(simtest::FrameText(driver_->ReadFrame()), "V 01/02/03 10:11:12,18,07,1F");
    driver_->SendAck();
    ASSERT_EQ(Run("frame 1 X  Y"), CommandResult::Status::kOk);
    EXPECT_EQ(simtest::FrameText(driver_->ReadFrame()), "X  Y");
    driver_->SendAck();
    ASSERT_EQ(Run("idle 2000"), CommandResult::Status::kOk);
    ASSERT_EQ(Run("noise 3"), CommandResult::Status::kOk);
    EXPECT_EQ(driver_->ReadUntilQuiet(100ms).size(), 3U);
}

// --- the command as a program ----------------------------------------------------------------

// vxs-sim started with pipes on its standard input, output and error.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int in[2];
        int out[2];
        int err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            std::vector<char*> argv;
            static std::string command = VXS_SIM_COMMAND;
            argv.push_back(command.data());
            for (std::string& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(command.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }

    ~SimProcess() {
        CloseInput();
        if (pid_ > 0 && !Wait(5s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    void Send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    void CloseInput() {
        if (in_ >= 0) close(in_);
        in_ = -1;
    }

    // The next line of standard output, waiting at most 'timeout'; empty when none came.
    std::string ReadLine(std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const std::size_t newline = outBuffer_.find('\n');
            if (newline != std::string::npos) {
                std::string line = outBuffer_.substr(0, newline);
                outBuffer_.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd in{out_, POLLIN, 0};
            if (poll(&in, 1, static_cast<int>(left.count())) <= 0) return "";
            std::array<char, 1024> buffer{};
            const ssize_t got = read(out_, buffer.data(), buffer.size());
            if (got <= 0) return "";
            outBuffer_.append(buffer.data(), static_cast<std::size_t>(got));
        }
    }

    // The first output line that contains every one of 'parts'.
    std::string ReadLineWith(const std::vector<std::string>& parts,
                             std::chrono::milliseconds timeout = 3s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string line = ReadLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            bool all = !line.empty();
            for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
            if (all) return line;
        }
        return "";
    }

    std::string ReadAllErrors() {
        std::string all;
        std::array<char, 1024> buffer{};
        ssize_t got = 0;
        while ((got = read(err_, buffer.data(), buffer.size())) > 0) {
            all.append(buffer.data(), static_cast<std::size_t>(got));
        }
        return all;
    }

    // Waits for the program to end; false when it has not ended within 'timeout'.
    bool Wait(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                pid_ = -1;
                return true;
            }
            pollfd none{-1, 0, 0};
            poll(&none, 0, 20);
        }
        return false;
    }

    int ExitCode() const { return exitCode_; }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    int exitCode_ = -1;
    std::string outBuffer_;
};

TEST(SimCommand, ExchangesAFrameOverItsPtyAndQuits) {
    SimProcess sim({"--pty", "--json", "--controllers", "0,3"});
    const std::string path = sim.ReadLine();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0U) << path;
    simtest::DriverSide driver(path);

    driver.SendFrame(">3S Q");
    const std::vector<std::string> frames = driver.ReadFrames(2, 3s);
    ASSERT_EQ(frames.size(), 2U);
    EXPECT_EQ(frames[0], simtest::kAck);
    EXPECT_EQ(simtest::FrameText(frames[1]), "S T,1,0,0,VXS-100 C3,0,0,0,0,1.00");

    const std::string rx =
        sim.ReadLineWith({"\"dir\":\"rx\"", "\"controller\":3", "\"kind\":\"frame\""});
    EXPECT_NE(rx.find("\"text\":\"<LF>;>3S Q;8D26<CR>\""), std::string::npos) << rx;
    EXPECT_NE(rx.find("\"hex\":\"0a3b3e335320513b384432360d\""), std::string::npos) << rx;
    EXPECT_EQ(rx.front(), '{');
    EXPECT_EQ(rx.back(), '}');
    EXPECT_NE(sim.ReadLineWith({"\"dir\":\"tx\"", "\"kind\":\"status\""}), "");

    // A controller not on the line stays silent.
    driver.SendFrame(">1S Q");
    EXPECT_NE(sim.ReadLineWith({"\"kind\":\"ignored\"", "\"controller\":1"}), "");
    EXPECT_TRUE(driver.QuietFor(100ms));

    sim.Send("event 3 0 badge=2A");
    const std::string event = driver.ReadFrame(3s);
    ASSERT_TRUE(simtest::FrameText(event).has_value());
    EXPECT_NE(event.find(",00,07,2A;"), std::string::npos);
    driver.SendAck();
    EXPECT_NE(sim.ReadLineWith({"\"kind\":\"acknowledged\""}), "");

    sim.Send("quit");
    ASSERT_TRUE(sim.Wait(5s));
    EXPECT_EQ(sim.ExitCode(), 0);
}

TEST(SimCommand, EndsAtTheEndOfInputAndReportsRefusedCommands) {
    SimProcess sim({"--pty"});
    const std::string path = sim.ReadLine();
    ASSERT_FALSE(path.empty());
    sim.Send("fault sideways on");
    sim.Send("noise 4");
    EXPECT_NE(sim.ReadLineWith({" tx -- noise "}), "");
    sim.CloseInput();
    ASSERT_TRUE(sim.Wait(5s));
    EXPECT_EQ(sim.ExitCode(), 1);
    EXPECT_NE(sim.ReadAllErrors().find("line 1: unknown fault 'sideways'"), std::string::npos);
}

TEST(SimCommand, UsageAndLineErrors) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string output;  // on standard output (help) or standard error
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: vxs-sim"},
        {{"--frobnicate"}, 2, "--frobnicate"},
        {{"--controllers", "0,9"}, 2, "--controllers"},
        {{"--controllers", "3-1"}, 2, "--controllers"},
        {{"--pty", "--device", "/dev/null"}, 2, "exclude each other"},
        {{"--device", "/dev/ttyS_nonexistent_vxs"}, 3, "cannot open /dev/ttyS_nonexistent_vxs"},
        // kivhost's option names and styles; --device stays as the old name of --port.
        {{"--port", "/dev/ttyS_nonexistent_vxs"}, 3, "cannot open /dev/ttyS_nonexistent_vxs"},
        {{"--controllers=0,9"}, 2, "--controllers"},
        {{"--version"}, 0, "vxs-sim "},
        {{"--device", "/dev/null", "--baud", "1234"}, 2, "not a rate the simulator takes"},
        {{"--resends"}, 2, "--resends"},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.args);
        sim.CloseInput();
        ASSERT_TRUE(sim.Wait(5s));
        EXPECT_EQ(sim.ExitCode(), c.exitCode) << c.args[0];
        std::string text;
        for (std::string line = sim.ReadLine(200ms); !line.empty(); line = sim.ReadLine(200ms)) {
            text += line + "\n";
        }
        text += sim.ReadAllErrors();
        EXPECT_NE(text.find(c.output), std::string::npos) << c.args[0] << ": " << text;
    }
}

}  // namespace
