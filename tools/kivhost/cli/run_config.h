// kivhost run --config FILE: the options of a run from a file, for a service. Each line is
// 'name = value' with the long option's name without "--" ('mqtt = mqtt://broker:1883'); a
// value may stand in double quotes; a flag takes true or false; '#' starts a comment line.
// The file's options go before those of the command line, so the command line wins.
#pragma once

#include <string>
#include <vector>

namespace kivhost {

// Replaces "--config FILE" (or "--config=FILE") after the word "run" by the file's options;
// false with the reason when the file cannot be read or a line is malformed.
bool ExpandRunConfig(std::vector<std::string>& arguments, std::string& error);

// "FILE:LINE: " of the configuration line that gave the option a message names ("--baud ..."),
// with "or the command line" when that gives it too; empty otherwise. Usage errors put it in
// front.
std::string ConfigOrigin(const std::string& message);

}  // namespace kivhost
