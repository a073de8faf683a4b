// The badge database with 5000 badges: loading the file, an update (the file rewritten whole, put
// in place and reloaded) and a look-up by key number as the receiver makes it for a badge event.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "instance/driver_instance.h"
#include "made_instance.h"
#include "qorpro/qorpro_embed.h"
#include "receive/badge_database.h"
#include "scratch_folder.h"

namespace {

// A working folder of its own holding a database of 'count' badges, for one benchmark.
class Database {
public:
    explicit Database(int count) : instance_(kivtest::MakeInstance()) {
        qorReset();
        std::ofstream file("zezSetupDB01.dat", std::ios::binary);
        for (int key = 0; key < count; ++key) {
            file << Line(key) << "\r\n";
        }
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    static std::string Code(int key) {
        char code[16];
        std::snprintf(code, sizeof code, "%010d", key);
        return code;
    }
    static std::string Line(int key) {
        return ";A 1," + std::to_string(key) + "," + Code(key) +
               ",FFFF,01/02/24,12;89AB @ Holder " + std::to_string(key) +
               " van Something @ Shift " + std::to_string(key % 3);
    }
    kiv::DriverInstance& instance() { return *instance_; }

private:
    kivbench::ScratchFolder folder_{"kiv-badge-bench"};  // first made, last removed
    kivtest::MadeInstance instance_;
};

void BadgeDbLoad5000(benchmark::State& state) {
    Database database(kiv::kBadgeCount);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        kiv::BadgeDbLoad(database.instance());
    }
}
BENCHMARK(BadgeDbLoad5000)->Unit(benchmark::kMillisecond);

// Re-adds a badge in the middle of the file: the file is written anew with its line blotted and
// the new one appended, put in place, the table reloaded. The file grows by one line per
// iteration, as it does in use.
void BadgeDbUpdate5000(benchmark::State& state) {
    Database database(kiv::kBadgeCount - 100);
    kiv::DriverInstance& instance = database.instance();
    int key = 2500;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        const std::string code = Database::Code(key);
        const std::string line = Database::Line(key);
        const std::string frame = "\n" + line.substr(0, line.find(" @ ")) + "\r";
        const kiv::BadgeUpdate update{code.c_str(), {"Bench Holder", "Shift"}};
        benchmark::DoNotOptimize(kiv::BadgeDbUpdate(instance, frame.c_str(), update));
        key = key == 2599 ? 2500 : key + 1;
    }
}
BENCHMARK(BadgeDbUpdate5000)->Unit(benchmark::kMillisecond);

// Look-ups of keys spread over the table, through the index, under the table's lock.
void FindBadgeByKey5000(benchmark::State& state) {
    Database database(kiv::kBadgeCount);
    kiv::BadgeDbLoad(database.instance());
    int key = 0;
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(
            kiv::FindBadgeByKey(database.instance(), std::to_string(key).c_str()));
        key = (key + 1237) % kiv::kBadgeCount;
    }
}
BENCHMARK(FindBadgeByKey5000);

}  // namespace
