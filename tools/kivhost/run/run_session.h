// What kivhost run holds while it runs: the driver instances (one per line) with their tags as
// a host configures them, the simulated lines, and what the commands do to them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/driver_session.h"
#include "host/monitor.h"
#include "host/tag_config.h"
#include "kiv/kiv_abi.h"
#include "system/simulated_line.h"

namespace kivhost {

// A tag as the host keeps it: its name, address and data type, the gate the stand-in gave it,
// and the five driver words Parse stored with it.
struct HostTag {
    int line = 0;
    std::string name;
    std::string address;
    int32_t dataType = 0;
    int32_t gateId = -1;
    GateDescriptor words{};
};

// A tag of the file that the driver's Parse refused (it is not defined).
struct RefusedTag {
    int line = 0;
    size_t fileLine = 0;
    std::string name;
    std::string address;
    std::string reason;
};

// Whether a script's TAG can name a tag of a run of 'lines' lines with this configuration: a
// tag's name ("N:" before it with more than one line), an address of line 1, or one of the
// tags the tool adds for its view. Checked before a line is opened; a tag the driver's Parse
// then refuses is reported when the command runs.
bool NamesRunTag(const TagConfig& config, int lines, const std::string& name);

// One driver instance on one line, in memory the host owns.
class HostLine {
public:
    HostLine(DriverSession& driver, int line, int32_t instanceNumber);
    ~HostLine();
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;

    int Line() const { return line_; }
    int32_t InstanceNumber() const { return instanceNumber_; }
    const std::string& Port() const { return port_; }

    // Function 1 on the port; the log lines of the call are added to 'log'.
    int32_t ColdStart(const std::string& port, const LineSettings& settings,
                      int32_t answerTimeoutUnits, std::vector<LogEntry>& log);
    // Function 3, 5 and 7 for a tag of this line.
    int32_t Parse(GateDescriptor& gate, std::vector<LogEntry>& log);
    int32_t Call(uint32_t function, void* argument, std::vector<LogEntry>* log);
    // The host's shut-down signal, a bounded wait until the driver has let its client go, then
    // close (function 11). Nothing when the instance never started.
    void Stop(std::chrono::milliseconds bound);

private:
    DriverSession& driver_;
    int line_;
    int32_t instanceNumber_;
    std::string port_;
    std::vector<unsigned char> memory_;
    bool started_ = false;
    bool running_ = false;  // the cold start succeeded
};

// The outcome of a command, shown as a "result" record.
struct CommandOutcome {
    bool ok = true;
    std::string detail;  // the value read, or why it failed
    Json extra = Json::object();
};

class RunSession {
public:
    RunSession(DriverSession& driver, Monitor& monitor);
    ~RunSession();
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    // A line: its instance, the tags of the configuration (names prefixed with "N:" when
    // 'prefix'), and the simulated line when there is one. The refused tags are added to
    // 'refused'. Also defines the monitoring tags the view needs that the file lacks.
    HostLine& AddLine(int32_t instanceNumber, const TagConfig& config, bool prefix,
                      std::unique_ptr<SimulatedLine> simulated, std::vector<RefusedTag>& refused);
    std::vector<std::unique_ptr<HostLine>>& Lines() { return lines_; }
    SimulatedLine* Simulated(int line);
    // Ends the simulators (once every instance is closed).
    void CloseSimulatedLines();

    // The commands. Tags are found by name, or by address on line 1.
    // 'log' receives the driver's log lines of the write, when given.
    CommandOutcome Write(const std::string& tag, const std::string& value,
                         std::vector<LogEntry>* log = nullptr);
    // The tags defined, as (line, name).
    std::vector<std::pair<int, std::string>> TagNames() const;
    // The tag as the host keeps it: {"name", "address", "value"} (a number or a text); null
    // for no such tag.
    Json TagRecord(const std::string& tag) const;
    CommandOutcome Read(const std::string& tag);
    // The value the host holds for the tag now, and when the driver last changed it.
    CommandOutcome Show(const std::string& tag);
    CommandOutcome Wait(const std::string& tag, const std::string& value,
                        std::chrono::milliseconds timeout);
    CommandOutcome ExpectLog(const std::string& text, std::chrono::milliseconds timeout);
    CommandOutcome Sleep(std::chrono::milliseconds duration);
    CommandOutcome Event(int line, const SimulatedEvent& event);
    CommandOutcome SimulatorCommand(int line, const std::string& text);

    // Ends every wait of the commands at once.
    void Interrupt();
    bool Interrupted() const { return interrupted_; }

private:
    const HostTag* FindTag(const std::string& name) const;
    // Waits on the stand-in's changes until 'done' or the time-out or an interrupt.
    template <typename Done>
    bool WaitUntil(std::chrono::milliseconds timeout, Done done);

    DriverSession& driver_;
    Monitor& monitor_;
    std::vector<std::unique_ptr<HostLine>> lines_;
    std::vector<std::unique_ptr<SimulatedLine>> simulated_;  // by line - 1; may be null
    std::vector<HostTag> tags_;
    std::map<std::string, size_t> byName_;
    size_t logMark_ = 0;  // expect-log looks at the lines from here on
    std::atomic<bool> interrupted_{false};
    std::mutex sleepMutex_;
    std::condition_variable sleepWake_;
};

}  // namespace kivhost
