// kivhost run --config FILE.
#include "cli/run_config.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <utility>

namespace kivhost {

namespace {

// The options the configuration file gave, each with its FILE:LINE (from ExpandRunConfig on).
std::vector<std::pair<std::string, std::string>> gOrigins;

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool ReadConfig(const std::string& path, std::vector<std::string>& options,
                std::vector<std::pair<std::string, std::string>>& origins, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the configuration file '" + path + "'";
        return false;
    }
    std::string line;
    size_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        const std::string text = Trimmed(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const size_t equals = text.find('=');
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            error = where + "not 'name = value'";
            return false;
        }
        const std::string name = Trimmed(text.substr(0, equals));
        std::string value = Trimmed(text.substr(equals + 1));
        if (name.empty() || name[0] == '-' || name == "config") {
            error = where + "the name is a long option's name without '--' (not config)";
            return false;
        }
        origins.emplace_back("--" + name, path + ":" + std::to_string(number));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (value == "true") {
            options.push_back("--" + name);
        } else if (value != "false") {
            options.push_back("--" + name);
            options.push_back(value);
        }
    }
    return true;
}

// An option the command line gives as well may be the one at fault: both are named.
void KeepOrigins(const std::vector<std::string>& arguments,
                 const std::vector<std::pair<std::string, std::string>>& found) {
    gOrigins.clear();
    for (const auto& origin : found) {
        const std::string& option = origin.first;
        const bool given = std::any_of(arguments.begin(), arguments.end(), [&](const auto& word) {
            return word == option || word.rfind(option + "=", 0) == 0;
        });
        gOrigins.emplace_back(option,
                              given ? origin.second + " or the command line" : origin.second);
    }
}

}  // namespace

std::string ConfigOrigin(const std::string& message) {
    for (const auto& [option, where] : gOrigins) {
        const size_t at = message.find(option);
        const size_t end = at + option.size();
        const bool whole =
            at != std::string::npos &&
            (end == message.size() ||
             (std::isalnum(static_cast<unsigned char>(message[end])) == 0 && message[end] != '-'));
        if (whole) {
            return where + ": ";
        }
    }
    return {};
}

bool ExpandRunConfig(std::vector<std::string>& arguments, std::string& error) {
    const auto run = std::find(arguments.begin(), arguments.end(), "run");
    if (run == arguments.end()) {
        return true;
    }
    const auto at = static_cast<size_t>(run - arguments.begin());
    for (size_t i = at + 1; i < arguments.size(); ++i) {
        std::string path;
        size_t words = 0;
        if (arguments[i] == "--") {
            break;
        }
        if (arguments[i] == "--config" && i + 1 < arguments.size()) {
            path = arguments[i + 1];
            words = 2;
        } else if (arguments[i].rfind("--config=", 0) == 0) {
            path = arguments[i].substr(9);
            words = 1;
        } else {
            continue;
        }
        std::vector<std::string> options;
        std::vector<std::pair<std::string, std::string>> origins;
        if (!ReadConfig(path, options, origins, error)) {
            return false;
        }
        KeepOrigins(arguments, origins);
        arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                        arguments.begin() + static_cast<std::ptrdiff_t>(i + words));
        arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(at + 1), options.begin(),
                         options.end());
        return true;
    }
    return true;
}

}  // namespace kivhost
