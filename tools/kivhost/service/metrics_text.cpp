// The Prometheus text exposition format.
#include "service/metrics_text.h"

#include <charconv>
#include <cmath>

namespace kivhost {

namespace {

// Backslash and line feed are escaped in HELP texts and label values, the double quote in label
// values only.
std::string Escaped(const std::string& text, bool quote) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quote) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeHelp(const std::string& text) {
    return Escaped(text, false);
}

const char* TypeName(MetricType type) {
    return type == MetricType::kCounter ? "counter" : "gauge";
}

std::string SampleLine(const std::string& name, const MetricSample& sample) {
    std::string line = name;
    if (!sample.labels.empty()) {
        line += '{';
        for (size_t k = 0; k < sample.labels.size(); ++k) {
            line += (k == 0 ? "" : ",") + sample.labels[k].first + "=\"" +
                    EscapeLabelValue(sample.labels[k].second) + '"';
        }
        line += '}';
    }
    return line + ' ' + MetricValueText(sample.value) + '\n';
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
    return Escaped(value, true);
}

std::string MetricValueText(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "NaN";
}

std::string RenderMetrics(const std::vector<MetricFamily>& families) {
    std::string out;
    for (const MetricFamily& family : families) {
        if (family.samples.empty()) {
            continue;
        }
        out += "# HELP " + family.name + ' ' + EscapeHelp(family.help) + '\n';
        out += "# TYPE " + family.name + ' ' + TypeName(family.type) + '\n';
        for (const MetricSample& sample : family.samples) {
            out += SampleLine(family.name, sample);
        }
    }
    return out;
}

}  // namespace kivhost
