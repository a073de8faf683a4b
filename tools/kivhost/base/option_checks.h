// Checks of option values that CLI11 lacks in words a person reads.
#pragma once

#include <CLI/CLI.hpp>

#include <cmath>

namespace kivhost {

// A finite number of zero or more (seconds, a rate); refuses NaN, which a '<' check lets
// through, and infinity, which would never end a run.
inline CLI::Validator NotNegative() {
    return CLI::Validator(
        [](std::string& text) {
            double value = 0.0;
            if (!CLI::detail::lexical_cast(text, value) || !(value >= 0.0) ||
                !std::isfinite(value)) {
                return "'" + text + "' is not a finite number of 0 or more";
            }
            return std::string();
        },
        "NUMBER >= 0", "NotNegative");
}

}  // namespace kivhost
