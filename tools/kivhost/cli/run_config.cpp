// kivhost run --config FILE.
#include "cli/run_config.h"

#include <algorithm>
#include <fstream>

namespace kivhost {

namespace {

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool ReadConfig(const std::string& path, std::vector<std::string>& options, std::string& error) {
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

}  // namespace

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
        if (!ReadConfig(path, options, error)) {
            return false;
        }
        arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                        arguments.begin() + static_cast<std::ptrdiff_t>(i + words));
        arguments.insert(arguments.begin() + static_cast<std::ptrdiff_t>(at + 1), options.begin(),
                         options.end());
        return true;
    }
    return true;
}

}  // namespace kivhost
