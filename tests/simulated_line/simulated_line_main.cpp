// The simulated-line test program's entry: "--port NAME" names the line on which vxs-sim listens;
// every other argument goes to GoogleTest.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "simulator_channel.h"

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            linktest::SetPortName(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    testing::InitGoogleTest(&restCount, rest.data());
    if (linktest::PortName().empty()) {
        std::fprintf(
            stderr,
            "usage: simulated_line_tests --port NAME [GoogleTest options]\n"
            "Run it through tests/simulated_line/run_with_sim.py, which starts vxs-sim and "
            "passes its line.\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
