// The live view of kivhost run: the screen redrawn in place on a terminal.
#include <algorithm>
#include <cstdio>

#include "base/utf8.h"
#include "system/console.h"
#include "view/record_text.h"
#include "view/run_view.h"

namespace kivhost {

void RunView::Draw() {
    const TerminalSize size = OutputTerminalSize();
    const auto width = static_cast<size_t>(std::max(size.columns, 20));
    std::vector<std::string> screen;
    char header[256];
    (void)std::snprintf(header, sizeof header, "%s   %.1f s", title_.c_str(), monitor_.Seconds());
    screen.emplace_back(header);
    std::unique_lock<std::mutex> countersLock(countersMutex_);
    for (const LineCounters& line : lines_) {
        char row[256];
        (void)std::snprintf(row, sizeof row,
                            "L%d %-10s frames in %llu out %llu  events %llu  illegal %llu  "
                            "time-outs %llu  retries %llu",
                            line.line, line.port.c_str(),
                            static_cast<unsigned long long>(line.framesIn),
                            static_cast<unsigned long long>(line.framesOut),
                            static_cast<unsigned long long>(line.events),
                            static_cast<unsigned long long>(line.illegalFrames),
                            static_cast<unsigned long long>(line.timeouts),
                            static_cast<unsigned long long>(line.retries));
        screen.emplace_back(row);
    }
    countersLock.unlock();
    // What is left of the screen is shared out among the sections.
    const int fixed = static_cast<int>(screen.size()) + 5 + 2 * static_cast<int>(kFramesEachWay) +
                      (progress_.empty() ? 0 : 1) + 2;
    const int rows = std::max(size.rows - fixed, 8);
    const auto section = [&](const char* title, const std::deque<std::string>& items, int count) {
        screen.emplace_back(std::string("-- ") + title);
        const size_t shown = std::min(items.size(), static_cast<size_t>(std::max(count, 1)));
        for (size_t i = items.size() - shown; i < items.size(); ++i) {
            screen.push_back(items[i]);
        }
    };
    section("Tags changed", tags_, rows * 3 / 10);
    section("Events", events_, rows * 3 / 10);
    screen.emplace_back("-- Frames (last each way)");
    for (const std::string& row : framesIn_) {
        screen.push_back("in  " + row);
    }
    for (const std::string& row : framesOut_) {
        screen.push_back("out " + row);
    }
    section("Log", log_, rows * 2 / 10);
    if (!progress_.empty()) {
        screen.push_back(progress_);
    }
    section("Commands", results_, rows - rows * 8 / 10);
    // The view above, then a hint and the input line at the foot of the screen, each row
    // placed by itself so that nothing scrolls; the cursor waits after what is typed.
    const int viewRows = std::max(size.rows - 2, 1);
    std::string out;
    for (int i = 0; i < viewRows; ++i) {
        out += "\x1b[" + std::to_string(i + 1) + ";1H";
        if (static_cast<size_t>(i) < screen.size()) {
            out += FirstCharacters(screen[static_cast<size_t>(i)], width);
        }
        out += "\x1b[K";
    }
    const std::string input = input_ ? input_->Text() : std::string();
    const std::string hint =
        "Type a command and Enter ('help' lists them); 'quit' or Ctrl-C stops.";
    out += "\x1b[" + std::to_string(viewRows + 1) + ";1H" + FirstCharacters(hint, width) + "\x1b[K";
    // The end of a long input line stays in sight.
    const size_t room = width > 3 ? width - 3 : 1;
    const std::string shown = LastCharacters(input, room);
    out += "\x1b[" + std::to_string(viewRows + 2) + ";1H> " + shown + "\x1b[K";
    (void)std::fputs(out.c_str(), stdout);
    dirty_ = false;
}

}  // namespace kivhost
