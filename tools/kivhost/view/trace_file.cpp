// The frame trace of kivhost run.
#include "view/trace_file.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "host/monitor.h"

namespace kivhost {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint32_t kLinkTypeUser0 = 147;
constexpr uint32_t kSnapLength = 65535;

void Put32(std::FILE* file, uint32_t value) {
    (void)std::fwrite(&value, sizeof value, 1, file);
}

void Put16(std::FILE* file, uint16_t value) {
    (void)std::fwrite(&value, sizeof value, 1, file);
}

}  // namespace

TraceFile::~TraceFile() {
    for (auto [file, what, said] :
         {std::tuple{text_, &textWhat_, &textSaid_}, std::tuple{pcap_, &pcapWhat_, &pcapSaid_}}) {
        if (file != nullptr) {
            CheckWritten(file, *what, *said);
            if (std::fclose(file) != 0 && !*said) {
                (void)std::fprintf(stderr, "kivhost run: writing %s failed: %s\n", what->c_str(),
                                   std::strerror(errno));
            }
        }
    }
}

void TraceFile::CheckWritten(std::FILE* file, const std::string& what, bool& said) {
    if (std::ferror(file) != 0 && !said) {
        said = true;
        (void)std::fprintf(stderr, "kivhost run: writing %s failed: %s; it is incomplete\n",
                           what.c_str(), errno != 0 ? std::strerror(errno) : "an error");
    }
}

bool TraceFile::Open(const std::string& textPath, const std::string& pcapPath, std::string& error) {
    if (!textPath.empty()) {
        text_ = std::fopen(textPath.c_str(), "wb");
        if (text_ == nullptr) {
            error = "cannot write the trace '" + textPath + "': " + std::strerror(errno);
            return false;
        }
        textWhat_ = "the trace '" + textPath + "'";
        (void)std::fputs("# kivhost trace 1: seconds dir(out|in) line frame\n", text_);
    }
    if (!pcapPath.empty()) {
        pcap_ = std::fopen(pcapPath.c_str(), "wb");
        if (pcap_ == nullptr) {
            error = "cannot write the pcap file '" + pcapPath + "': " + std::strerror(errno);
            return false;
        }
        pcapWhat_ = "the pcap file '" + pcapPath + "'";
        // The file header in the writer's byte order: the magic number tells the reader which.
        Put32(pcap_, kPcapMagic);
        Put16(pcap_, 2);
        Put16(pcap_, 4);
        Put32(pcap_, 0);
        Put32(pcap_, 0);
        Put32(pcap_, kSnapLength);
        Put32(pcap_, kLinkTypeUser0);
    }
    return true;
}

void TraceFile::Write(double seconds, bool outgoing, int line, const std::string& bytes) {
    if (text_ != nullptr) {
        (void)std::fprintf(text_, "%.6f %s %d %s\n", seconds, outgoing ? "out" : "in", line,
                           TraceText(bytes).c_str());
        (void)std::fflush(text_);
        CheckWritten(text_, textWhat_, textSaid_);
    }
    if (pcap_ != nullptr) {
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        const auto length = static_cast<uint32_t>(bytes.size() + 2);
        Put32(pcap_, static_cast<uint32_t>(now / 1000000));
        Put32(pcap_, static_cast<uint32_t>(now % 1000000));
        Put32(pcap_, length);
        Put32(pcap_, length);
        (void)std::fputc(outgoing ? 0 : 1, pcap_);
        (void)std::fputc(line & 0xFF, pcap_);
        (void)std::fwrite(bytes.data(), 1, bytes.size(), pcap_);
        (void)std::fflush(pcap_);
        CheckWritten(pcap_, pcapWhat_, pcapSaid_);
    }
}

}  // namespace kivhost
