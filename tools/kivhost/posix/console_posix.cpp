// The console on POSIX systems.
#include <sys/ioctl.h>

#include <unistd.h>
#include <filesystem>
#include <system_error>

#include "console.h"

namespace kivhost {

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

bool InputIsTerminal() {
    return isatty(STDIN_FILENO) == 1;
}

TerminalSize OutputTerminalSize() {
    TerminalSize size;
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 0 && window.ws_row > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
    return size;
}

bool EnableTerminalSequences() {
    return true;
}

int OtherThreadCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        ++count;
    }
    return error || count == 0 ? -1 : count - 1;
}

}  // namespace kivhost
