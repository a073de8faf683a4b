// The request channel: one request line out, one answer line in.
#include "simulator_channel.h"

#include <cstdio>
#include <cstring>

namespace linktest {

namespace {

std::string& StoredPortName() {
    static std::string name;
    return name;
}

// One answer line from the wrapper, without its line end; false at the end of input.
bool ReadAnswer(std::string& answer) {
    answer.clear();
    char block[512];
    while (std::fgets(block, sizeof block, stdin) != nullptr) {
        answer += block;
        if (!answer.empty() && answer.back() == '\n') {
            while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) {
                answer.pop_back();
            }
            return true;
        }
    }
    return !answer.empty();
}

}  // namespace

const std::string& PortName() {
    return StoredPortName();
}

void SetPortName(const std::string& name) {
    StoredPortName() = name;
}

testing::AssertionResult Sim(const std::string& command) {
    if (command.find_first_of("\r\n") != std::string::npos) {
        return testing::AssertionFailure() << "a simulator command is one line: " << command;
    }
    // The request begins a line of its own, whatever was printed before it.
    std::fputs("\n", stdout);
    std::fputs(kRequestMark, stdout);
    std::fputs(command.c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
    std::string answer;
    if (!ReadAnswer(answer)) {
        return testing::AssertionFailure()
               << "no answer to '" << command << "': run this program with run_with_sim.py";
    }
    if (answer == "ok") {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "vxs-sim refused '" << command << "': " << answer;
}

}  // namespace linktest
