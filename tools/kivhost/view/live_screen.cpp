// The live view of kivhost run: the screen redrawn in place on a terminal.
#include <algorithm>
#include <cstdio>

#include "base/utf8.h"
#include "system/console.h"
#include "view/record_text.h"
#include "view/run_view.h"

namespace kivhost {

namespace {

// The rows after a record's time and line label ("    1.234 L1 ") and two more.
constexpr size_t kContinuationIndent = 15;

// A section of the screen: its title and its rows, newest last; 'weight' its share of the rows
// left once the commands have theirs.
using Item = std::vector<std::string>;  // the rows of one entry
struct Section {
    const char* title;
    std::vector<Item> items;
    int weight;
    size_t Rows() const {
        size_t rows = 0;
        for (const Item& item : items) {
            rows += item.size();
        }
        return rows;
    }
};

std::vector<Item> Wrapped(const std::deque<std::string>& entries, size_t width) {
    std::vector<Item> items;
    for (const std::string& entry : entries) {
        items.push_back(WrapRows(entry, width, kContinuationIndent));
    }
    return items;
}

// The title and the newest entries of a section that fit in 'count' rows, each whole (the
// newest is cut when it alone does not fit); nothing when it gets no row.
void Place(const Section& section, int count, std::vector<std::string>& screen) {
    if (count < 1) {
        return;
    }
    screen.push_back(std::string("-- ") + section.title);
    size_t first = section.items.size();
    size_t rows = 0;
    while (first > 0 && rows + section.items[first - 1].size() <= static_cast<size_t>(count)) {
        rows += section.items[--first].size();
    }
    if (first == section.items.size() && first > 0) {
        const Item& newest = section.items.back();
        screen.insert(screen.end(), newest.begin(), newest.begin() + count);
        return;
    }
    for (size_t i = first; i < section.items.size(); ++i) {
        screen.insert(screen.end(), section.items[i].begin(), section.items[i].end());
    }
}

std::string CounterRow(const LineCounters& line) {
    char row[256];
    (void)std::snprintf(
        row, sizeof row,
        "L%d %-10s frames in %llu out %llu  events %llu  illegal %llu  time-outs %llu  retries "
        "%llu",
        line.line, line.port.c_str(), static_cast<unsigned long long>(line.framesIn),
        static_cast<unsigned long long>(line.framesOut),
        static_cast<unsigned long long>(line.events),
        static_cast<unsigned long long>(line.illegalFrames),
        static_cast<unsigned long long>(line.timeouts),
        static_cast<unsigned long long>(line.retries));
    return row;
}

// Places the sections in 'rows' rows: the commands first take what their newest result needs
// (at least four rows when there are as many), the others share the rest by weight, and the
// commands take what the others leave; a section whose share holds no row beside its title is
// left out. The download's progress, when one runs, stands above the commands.
void PlaceSections(const std::vector<Section>& sections, const Section& commands,
                   size_t lastResultRows, int rows, const std::string& progress,
                   std::vector<std::string>& screen) {
    const int want =
        1 + static_cast<int>(std::max(lastResultRows, std::min<size_t>(commands.Rows(), 4)));
    const int left = rows - std::min(want, std::max(rows, 0));
    int weights = 0;
    for (const Section& section : sections) {
        weights += section.weight;
    }
    int used = 0;
    for (const Section& section : sections) {
        const int share = weights > 0 ? left * section.weight / weights : 0;
        const int needed = std::min(share, 1 + static_cast<int>(section.Rows()));
        Place(section, needed >= 2 ? needed - 1 : 0, screen);
        used += needed >= 2 ? needed : 0;
    }
    if (!progress.empty()) {
        screen.push_back(progress);
    }
    Place(commands, rows - used - 1, screen);
}

}  // namespace

std::vector<std::string> RunView::TopRows(size_t width) {
    std::vector<std::string> top;
    char header[256];
    (void)std::snprintf(header, sizeof header, "%s   %.1f s", title_.c_str(), monitor_.Seconds());
    top.emplace_back(header);
    std::vector<std::string> rows;
    {
        const std::lock_guard<std::mutex> countersLock(countersMutex_);
        for (const LineCounters& line : lines_) {
            rows.push_back(CounterRow(line));
        }
    }
    for (const std::string& row : GatewayRows()) {
        rows.push_back(row);
    }
    for (const std::string& row : rows) {
        for (std::string& wrapped : WrapRows(row, width, 3)) {
            top.push_back(std::move(wrapped));
        }
    }
    return top;
}

void RunView::Draw() {
    const TerminalSize size = OutputTerminalSize();
    const auto width = static_cast<size_t>(std::max(size.columns, 20));
    const int viewRows = std::max(size.rows - 2, 1);
    std::vector<std::string> screen = TopRows(width);
    // The two ways in turn, so that a section of two rows shows the newest frame of each way
    // (in before out: a frame received comes before its acknowledgement).
    std::vector<Item> frames;
    for (size_t i = 0; i < std::max(framesIn_.size(), framesOut_.size()); ++i) {
        if (i < framesIn_.size()) {
            frames.push_back({("in  " + framesIn_[i]).substr(0, width)});
        }
        if (i < framesOut_.size()) {
            frames.push_back({("out " + framesOut_[i]).substr(0, width)});
        }
    }
    // Frames are cut at the width rather than wrapped: their ends matter less than their order.
    const std::vector<Section> sections = {{"Tags changed", Wrapped(tags_, width), 3},
                                           {"Events", Wrapped(events_, width), 3},
                                           {"Frames (last each way)", frames, 2},
                                           {"Log", Wrapped(log_, width), 2}};
    const Section commands{"Commands", Wrapped(results_, width), 0};
    const size_t lastResultRows = commands.items.empty() ? 0 : commands.items.back().size();
    const int progressRows = progress_.empty() ? 0 : 1;
    const int rows = viewRows - static_cast<int>(screen.size()) - progressRows;
    PlaceSections(sections, commands, lastResultRows, rows, progress_, screen);
    Show(screen, width, viewRows);
}

// The view above, then a hint and the input line at the foot of the screen, each row placed by
// itself so that nothing scrolls; the cursor waits after what is typed.
void RunView::Show(const std::vector<std::string>& screen, size_t width, int viewRows) {
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
