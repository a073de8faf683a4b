// The check of a command's answer and of the key query's data answer. Input: one byte whose
// lowest bit says whether the key answer is awaited, then the answer text.
#include <cstdint>
#include <string>

#include "fuzz_host.h"
#include "tags/command_composer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    kivfuzz::BeginRun();
    kiv::DriverInstance& instance = kivfuzz::ZeroedInstance();
    instance.expectedAnswer = (data[0] & 1) != 0 ? kiv::kKeyAnswerLetter : 0;
    const std::string answer(reinterpret_cast<const char*>(data) + 1, size - 1);
    KivRequest request{&instance, KIV_FN_SINGLE_WRITE, kivfuzz::kInstanceNumber, 0, nullptr};
    kiv::CheckKeyAnswer(request, answer.c_str(), answer.size());
    return 0;
}
