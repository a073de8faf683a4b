#include "vxs_sim/command_interpreter.h"

#include <charconv>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "key_table.h"

namespace vxs_sim {

namespace {

// The longest pause a "wait" or "idle" command may ask for.
constexpr long kMaxWaitMs = 600000;

struct Words {
    std::vector<std::string> words;
    std::vector<std::size_t> starts;  // where each word begins in the line
};

// Splits at blanks and tabs; a double-quoted part keeps its blanks (key="two words").
std::optional<Words> SplitWords(std::string_view line) {
    Words out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        out.starts.push_back(i);
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            if (line[i] == '"') {
                const std::size_t close = line.find('"', i + 1);
                if (close == std::string_view::npos) return std::nullopt;
                word.append(line.substr(i + 1, close - i - 1));
                i = close + 1;
            } else {
                word += line[i++];
            }
        }
        out.words.push_back(std::move(word));
    }
    return out;
}

class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

long Number(const std::string& text, long low, long high, const std::string& what, int base = 10) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
        throw CommandError(what + " must be a " + (base == 16 ? "hexadecimal" : "decimal") +
                           " number from " + std::to_string(low) + " to " + std::to_string(high) +
                           ", not '" + text + "'");
    }
    return value;
}

int ControllerArg(const std::string& text) {
    return static_cast<int>(Number(text, 0, kControllerCount - 1, "a controller"));
}

bool OnOff(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    throw CommandError("expected on or off, not '" + text + "'");
}

// "key=value" words after the positional ones.
struct Option {
    std::string key;
    std::string value;
};

std::vector<Option> Options(const std::vector<std::string>& words, std::size_t from) {
    std::vector<Option> options;
    for (std::size_t i = from; i < words.size(); ++i) {
        const std::size_t equals = words[i].find('=');
        if (equals == std::string::npos || equals == 0) {
            throw CommandError("expected key=value, not '" + words[i] + "'");
        }
        options.push_back({words[i].substr(0, equals), words[i].substr(equals + 1)});
    }
    return options;
}

[[noreturn]] void UnknownOption(const Option& option) {
    throw CommandError("unknown setting '" + option.key + "'");
}

void NeedWords(const std::vector<std::string>& words, std::size_t count, const char* usage) {
    if (words.size() < count) throw CommandError(std::string("usage: ") + usage);
}

void RunEvent(Simulator& simulator, const std::vector<std::string>& words) {
    NeedWords(words, 3, "event C CODE [unit=N] [badge=HEX] [time=HH:MM:SS] [date=DD/MM/YY]");
    EventSpec event;
    event.controller = ControllerArg(words[1]);
    event.code = static_cast<int>(Number(words[2], 0, 99, "the event code"));
    for (const Option& option : Options(words, 3)) {
        if (option.key == "unit") {
            event.unit = static_cast<int>(Number(option.value, 1, 99, "the unit"));
        } else if (option.key == "badge") {
            event.badge =
                static_cast<uint32_t>(Number(option.value, 0, 0xFFFFFFFF, "the badge", 16));
        } else if (option.key == "time") {
            event.timeOfDay = option.value;
        } else if (option.key == "date") {
            event.date = option.value;
        } else {
            UnknownOption(option);
        }
    }
    simulator.InjectEvent(event);
}

void RunStatus(Simulator& simulator, const std::vector<std::string>& words) {
    NeedWords(words, 2,
              "status C [mode=N] [keys=N|auto] [word=N] [text=T] [ai1=N] ... [version=T]");
    const int c = ControllerArg(words[1]);
    ControllerStatus status = simulator.Status(c);
    for (const Option& option : Options(words, 2)) {
        if (option.key == "mode") {
            status.mode = static_cast<int>(Number(option.value, 0, 9, "the mode"));
        } else if (option.key == "keys") {
            status.keys = option.value == "auto"
                              ? std::nullopt
                              : std::optional<long>(Number(option.value, 0, 100000, "keys"));
        } else if (option.key == "word") {
            status.statusWord = static_cast<unsigned>(Number(option.value, 0, 65535, "the word"));
        } else if (option.key == "text") {
            status.text = option.value;
        } else if (option.key == "version") {
            status.version = option.value;
        } else if (option.key.size() == 3 && option.key.rfind("ai", 0) == 0 &&
                   option.key[2] >= '1' && option.key[2] <= '4') {
            status.analog[static_cast<std::size_t>(option.key[2] - '1')] =
                Number(option.value, 0, 65535, "an analog input");
        } else {
            UnknownOption(option);
        }
    }
    simulator.SetStatus(c, status);
}

void RunFault(Simulator& simulator, const std::vector<std::string>& words) {
    NeedWords(words, 3, "fault KIND on|off [C|all] [count=N] [ms=N] [bytes=N]");
    const std::optional<Fault> fault = FaultFromName(words[1]);
    if (!fault) throw CommandError("unknown fault '" + words[1] + "'");
    FaultSetting setting;
    setting.on = OnOff(words[2]);
    int c = -1;
    std::size_t next = 3;
    if (words.size() > 3 && words[3].find('=') == std::string::npos) {
        c = words[3] == "all" ? -1 : ControllerArg(words[3]);
        next = 4;
    }
    for (const Option& option : Options(words, next)) {
        if (option.key == "count") {
            setting.count = static_cast<int>(Number(option.value, 0, 1000000, "the count"));
        } else if (option.key == "ms") {
            setting.delay = std::chrono::milliseconds(Number(option.value, 0, kMaxWaitMs, "ms"));
        } else if (option.key == "bytes") {
            setting.noiseBytes = static_cast<int>(Number(option.value, 1, kMaxNoiseBytes, "bytes"));
        } else {
            UnknownOption(option);
        }
    }
    simulator.SetFault(c, *fault, setting);
}

void RunTiming(Simulator& simulator, const std::vector<std::string>& words) {
    Timing timing = simulator.GetTiming();
    for (const Option& option : Options(words, 1)) {
        const auto ms = [&] {
            return std::chrono::milliseconds(Number(option.value, 0, kMaxWaitMs, option.key));
        };
        if (option.key == "ack") {
            timing.ackDelay = ms();
        } else if (option.key == "gap") {
            timing.answerGap = ms();
        } else if (option.key == "upload") {
            timing.uploadPause = ms();
        } else if (option.key == "resend") {
            timing.resendAfter = ms();
        } else if (option.key == "resends") {
            timing.resends = static_cast<int>(Number(option.value, 0, 100, "resends"));
        } else if (option.key == "data-ack") {
            timing.dataAckWait = ms();
        } else {
            UnknownOption(option);
        }
    }
    simulator.SetTiming(timing);
}

CommandResult Run(Simulator& simulator, std::string_view line) {
    const std::optional<Words> split = SplitWords(line);
    if (!split) throw CommandError("a quote is not closed");
    const std::vector<std::string>& words = split->words;
    if (words.empty() || words[0][0] == '#') return {};
    const std::string& name = words[0];
    if (name == "quit" || name == "exit") {
        return {CommandResult::Status::kQuit, ""};
    } else if (name == "help") {
        return {CommandResult::Status::kOk, CommandHelp()};
    } else if (name == "echo") {
        // Answers with the rest of the line once every command before it has been taken, so
        // that a script knows where the simulator stands.
        const std::string text = words.size() > 1 ? std::string(line.substr(split->starts[1])) : "";
        return {CommandResult::Status::kOk, text + "\n"};
    } else if (name == "event") {
        RunEvent(simulator, words);
    } else if (name == "status") {
        RunStatus(simulator, words);
    } else if (name == "fault") {
        RunFault(simulator, words);
    } else if (name == "present") {
        NeedWords(words, 3, "present C on|off");
        simulator.SetPresent(ControllerArg(words[1]), OnOff(words[2]));
    } else if (name == "key") {
        NeedWords(words, 4, "key C CODE NUMBER");
        if (!simulator.PutKey(ControllerArg(words[1]), words[2],
                              Number(words[3], 0, KeyTable::kMaxKeyNumber, "the key number"))) {
            throw CommandError("the key cannot be stored");
        }
    } else if (name == "frame") {
        NeedWords(words, 2, "frame C [TEXT]");
        // The rest of the line after the controller, as it stands.
        std::string text;
        if (words.size() > 2) {
            text = std::string(line.substr(split->starts[2]));
            while (!text.empty() && (text.back() == ' ' || text.back() == '\t' ||
                                     text.back() == '\r' || text.back() == '\n')) {
                text.pop_back();
            }
        }
        simulator.QueueFrame(ControllerArg(words[1]), text);
    } else if (name == "upload") {
        NeedWords(words, 2, "upload C");
        simulator.StartUpload(ControllerArg(words[1]));
    } else if (name == "noise") {
        NeedWords(words, 2, "noise N");
        simulator.SendNoise(
            static_cast<std::size_t>(Number(words[1], 1, kMaxNoiseBytes, "the count")));
    } else if (name == "timing") {
        RunTiming(simulator, words);
    } else if (name == "order") {
        NeedWords(words, 2, "order ack-first|data-first");
        if (words[1] == "ack-first") {
            simulator.SetAnswerOrder(AnswerOrder::kAckFirst);
        } else if (words[1] == "data-first") {
            simulator.SetAnswerOrder(AnswerOrder::kDataFirst);
        } else {
            throw CommandError("expected ack-first or data-first");
        }
    } else if (name == "wait") {
        NeedWords(words, 2, "wait MS");
        std::this_thread::sleep_for(
            std::chrono::milliseconds(Number(words[1], 0, kMaxWaitMs, "ms")));
    } else if (name == "idle") {
        const long ms = words.size() > 1 ? Number(words[1], 0, kMaxWaitMs, "ms") : 5000;
        if (!simulator.WaitUntilIdle(std::chrono::milliseconds(ms))) {
            throw CommandError("still busy after " + std::to_string(ms) + " ms");
        }
    } else {
        throw CommandError("unknown command '" + name + "' (try 'help')");
    }
    return {};
}

}  // namespace

CommandResult RunCommandLine(Simulator& simulator, std::string_view line) {
    try {
        return Run(simulator, line);
    } catch (const std::invalid_argument& error) {
        return {CommandResult::Status::kError, error.what()};
    } catch (const std::out_of_range& error) {
        return {CommandResult::Status::kError, error.what()};
    } catch (const CommandError& error) {
        return {CommandResult::Status::kError, error.what()};
    }
}

const char* CommandHelp() {
    return "Commands (one per line; C is a controller 0 to 7):\n"
           "  event C CODE [unit=N] [badge=HEX] [time=HH:MM:SS] [date=DD/MM/YY]\n"
           "      queue an event frame from controller C: CODE 0-99, unit 1-99 (default 2C+1),\n"
           "      badge number in hexadecimal (default 0), time and date default to now\n"
           "  status C [mode=N] [keys=N|auto] [word=N] [text=T] [ai1=N] [ai2=N] [ai3=N] [ai4=N]\n"
           "         [version=T]\n"
           "      set fields of C's status report (keys=auto: the number of keys it holds);\n"
           "      quote texts with blanks: text=\"MAIN DOOR\"\n"
           "  present C on|off     put controller C on the line or take it off\n"
           "  fault KIND on|off [C|all] [count=N] [ms=N] [bytes=N]\n"
           "      KIND: silent late badcrc lowercrc noack backtoback noise cut echo;\n"
           "      count=N: only the next N times; ms: the delay of 'late'; bytes: the noise\n"
           "      before each frame; echo holds for the whole line\n"
           "  key C CODE NUMBER    store a key in C's key table\n"
           "  frame C [TEXT]       queue a frame with this command text (empty: end of upload)\n"
           "  upload C             queue C's setup upload as if the driver had asked for it\n"
           "  noise N              write N noise bytes now (never LF or CR)\n"
           "  timing [ack=MS] [gap=MS] [upload=MS] [resend=MS] [resends=N] [data-ack=MS]\n"
           "  order ack-first|data-first   which answer to a key query comes first\n"
           "  wait MS              pause before reading the next command\n"
           "  idle [MS]            wait until nothing is queued or unacknowledged (default 5000)\n"
           "  help                 this list\n"
           "  echo TEXT            write TEXT on standard error once the commands before it\n"
           "                       have been taken\n"
           "  quit                 end (so does the end of input)\n";
}

}  // namespace vxs_sim
