// A line of simulated VXS-100 controllers in the tool's own process, for kivhost run without
// --port: the line simulator on a pseudo-terminal, with a demo scenario of events. Only where the
// simulator runs (Linux); elsewhere StartSimulatedLine says why there is none.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kivhost {

struct SimulatedLineOptions {
    std::vector<int> controllers = {0, 1};
    double eventsPerSecond = 0.5;  // the demo scenario's rate; 0: no demo events
    uint32_t seed = 1;             // the demo's choices are pseudo-random and repeatable
    // The controllers' rate: a driver that opens the line at another hears only garbage.
    int baud = 9600;
};

// An event for the simulated controllers to send, as the driver counts: 'unit' is the door,
// reader or controller number from 0 (the frame carries it counted from 1).
struct SimulatedEvent {
    int code = 0;
    int unit = 0;
    uint32_t badge = 0;  // 0: none; the driver looks up key number badge - 1
};

class SimulatedLine {
public:
    virtual ~SimulatedLine() = default;
    // The port name for the driver (short enough for the host's 12-byte field).
    virtual std::string PortName() const = 0;
    // The device the simulator serves, for people.
    virtual std::string DevicePath() const = 0;
    // Queues an event; false with the reason when it cannot be sent.
    virtual bool InjectEvent(const SimulatedEvent& event, std::string& error) = 0;
    // Runs a command of the simulator's own language (vxs-sim's: "fault badcrc on 0 count=3");
    // false with the simulator's reason when it refuses it.
    virtual bool SimulatorCommand(const std::string& text, std::string& error) = 0;
    // Starts and stops the demo scenario (StopDemo also waits until its thread ended).
    virtual void StartDemo() = 0;
    virtual void StopDemo() = 0;
    // The simulator's transcript so far, one JSON object a line (the format of vxs-sim --json).
    virtual std::vector<std::string> TranscriptJson() const = 0;
};

// Starts the simulator; nullptr with the reason when there is none on this system or it cannot
// start.
std::unique_ptr<SimulatedLine> StartSimulatedLine(const SimulatedLineOptions& options,
                                                  std::string& error);

}  // namespace kivhost
