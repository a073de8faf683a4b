// The Prometheus text exposition format (version 0.0.4) of a set of metric families: a HELP and
// a TYPE line per family, then one line per sample, "name{label="value",...} value".
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kivhost {

enum class MetricType { kCounter, kGauge };

struct MetricSample {
    std::vector<std::pair<std::string, std::string>> labels;  // name, value (UTF-8)
    double value = 0.0;
};

struct MetricFamily {
    std::string name;  // a counter's ends in "_total"
    std::string help;
    MetricType type = MetricType::kCounter;
    std::vector<MetricSample> samples;
};

// The media type a scrape gets.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);

// A sample's value: whole numbers without a fraction, others in the shortest exact form, "NaN",
// "+Inf", "-Inf".
std::string MetricValueText(double value);

// Every family in order; a family without samples is left out.
std::string RenderMetrics(const std::vector<MetricFamily>& families);

}  // namespace kivhost
