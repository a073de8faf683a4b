// Reading a status report's fields and publishing them.
#include "receive/status_report.h"
#include "instance/monitor.h"

#include <cstdio>
#include <cstring>

#include "instance/host_tags.h"
#include "receive/report_text.h"

namespace kiv {

namespace {

constexpr int kFieldCount = 9;
constexpr int kAnalogInputs = 4;

// A field as the report holds it: from just after its comma to the character that ends it.
struct Field {
    const char* start = nullptr;
    size_t length = 0;
};

std::optional<int64_t> NumberField(const Field& field) {
    if (field.start == nullptr || field.length >= kStatusFieldSize) {
        return std::nullopt;
    }
    char text[kStatusFieldSize] = {};
    std::memcpy(text, field.start, field.length);
    return LeadingNumber(text);
}

StatusText TextField(const Field& field) {
    StatusText result;
    if (field.start != nullptr && field.length < kStatusFieldSize) {
        result.present = true;
        std::memcpy(result.text, field.start, field.length);
    }
    return result;
}

void PutBit(const DriverInstance& instance, const char* address, int64_t word, unsigned bit,
            double weight = 1.0) {
    PutTagValue(instance, address, weight * static_cast<double>((word >> bit) & 1));
}

}  // namespace

StatusReport ParseStatusReport(const char* frame, size_t count) {
    char work[kReportWorkSize] = {};
    CopyWorkText(frame, count, false, work);

    // Fields 1 to 8 end at the next comma, field 9 at the next ";".
    Field fields[kFieldCount];
    const char* comma = std::strchr(work, ',');
    for (int n = 0; n < kFieldCount && comma != nullptr; ++n) {
        const char* start = comma + 1;
        const char* end = std::strchr(start, n + 1 < kFieldCount ? ',' : ';');
        if (n == 0 && start[0] != '\0') {
            fields[0].start = start;  // only the first character counts
            fields[0].length = 1;
        } else if (end != nullptr) {
            fields[n].start = start;
            fields[n].length = static_cast<size_t>(end - start);
        }
        comma = n + 1 < kFieldCount ? std::strchr(start, ',') : nullptr;
    }

    StatusReport report;
    if (fields[0].start != nullptr && fields[0].start[0] >= '0' && fields[0].start[0] <= '9') {
        report.mode = fields[0].start[0] - '0';
    }
    report.keys = NumberField(fields[1]);
    report.statusWord = NumberField(fields[2]);
    report.controllerText = TextField(fields[3]);
    for (int n = 0; n < kAnalogInputs; ++n) {
        report.analog[n] = NumberField(fields[4 + n]);
    }
    report.version = TextField(fields[8]);
    return report;
}

void PublishStatusReport(const DriverInstance& instance, int controller,
                         const StatusReport& report) {
    MonitorStatus(instance, controller);
    char address[24];
    const auto controllerTag = [&](const char* keyword) {
        std::snprintf(address, sizeof address, "%d%s", controller, keyword);
        return address;
    };
    const auto numberedTag = [&](const char* keyword, int number) {
        std::snprintf(address, sizeof address, "%s%02d", keyword, number);
        return address;
    };
    const auto putNumber = [&](const char* tag, const std::optional<int64_t>& value) {
        if (value) {
            PutTagValue(instance, tag, static_cast<double>(*value));
        }
    };
    const auto putText = [&](const char* tag, const StatusText& text) {
        if (text.present) {
            PutTagText(instance, tag, text.text);
        }
    };

    putNumber(controllerTag("PMODE"), report.mode);
    putNumber(controllerTag("PKEYS"), report.keys);
    const char* const analogKeywords[kAnalogInputs] = {"PAI1", "PAI2", "PAI3", "PAI4"};
    for (int n = 0; n < kAnalogInputs; ++n) {
        putNumber(controllerTag(analogKeywords[n]), report.analog[n]);
    }
    putText(controllerTag("PCTRL"), report.controllerText);
    putText(controllerTag("PVER"), report.version);
    if (!report.statusWord) {
        return;
    }
    const int64_t word = *report.statusWord;
    const int first = 2 * controller;
    PutBit(instance, controllerTag("PTMPR"), word, 15);
    PutBit(instance, controllerTag("PALRM"), word, 10);
    PutBit(instance, controllerTag("PUIM"), word, 3);
    PutBit(instance, controllerTag("PIRC"), word, 0);
    PutBit(instance, numberedTag("PSRDR", first), word, 1);
    PutBit(instance, numberedTag("PSRDR", first + 1), word, 2);
    PutBit(instance, numberedTag("PDORL", first), word, 8);
    PutBit(instance, numberedTag("PDORL", first + 1), word, 9);
    PutBit(instance, numberedTag("PSDOR", first), word, 4, 2.0);
    PutBit(instance, numberedTag("PSDOR", first + 1), word, 6, 2.0);
}

}  // namespace kiv
