// The checksum (the driver's table against the tests' bitwise reference, to show what the
// table saves) and the frame path a received event takes: finishing a frame and classifying it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "link/frame_codec.h"
#include "link/frame_format.h"
#include "made_instance.h"
#include "qorpro/qorpro_embed.h"
#include "receive/incoming_tags.h"
#include "reference_crc.h"

namespace {

std::vector<unsigned char> RandomBytes(size_t count) {
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

void Crc16Table(benchmark::State& state) {
    const std::vector<unsigned char> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(kiv::Crc16(bytes.data(), bytes.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(Crc16Table)->Arg(11)->Arg(64)->Arg(255);

void Crc16Bitwise(benchmark::State& state) {
    const std::vector<unsigned char> bytes = RandomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        benchmark::DoNotOptimize(kivtest::ReferenceCrc16(bytes.data(), bytes.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(Crc16Bitwise)->Arg(11)->Arg(64)->Arg(255);

// Finishes an event frame and classifies it, per frame. Argument 1: the host holds the
// monitoring tags, so that INCOMING and BADGECODE are written and read back each time.
void FinishAndClassify(benchmark::State& state) {
    qorReset();
    if (state.range(0) != 0) {
        qorDefineTag("INCOMING", "INCOMING", 1, KIV_TYPE_STRING);
        qorDefineTag("BADGECODE", "BADGECODE", 1, KIV_TYPE_STRING);
    }
    const auto instance = kivtest::MakeInstance();
    static const char kEvent[] = "\n;V 12:34:56,00,01,00001F";
    char frame[kiv::kFrameBufferSize];
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores)
        std::memset(frame, 0, sizeof frame);
        std::memcpy(frame, kEvent, sizeof kEvent - 1);
        const size_t length = kiv::FinishFrame(frame, kiv::kFrameCapacity);
        kiv::PublishIncoming(*instance, frame, length);
        benchmark::DoNotOptimize(kiv::ClassifyFrame(frame, length));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    qorReset();
}
BENCHMARK(FinishAndClassify)->Arg(0)->Arg(1);

}  // namespace
