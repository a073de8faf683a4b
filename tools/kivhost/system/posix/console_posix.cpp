// The console on POSIX systems.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "system/console.h"

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

namespace {

termios gSavedInput{};
bool gKeyInput = false;

}  // namespace

bool BeginKeyInput() {
    if (gKeyInput) {
        return true;
    }
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &gSavedInput) != 0) {
        return false;
    }
    termios keys = gSavedInput;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    gKeyInput = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
    return gKeyInput;
}

void EndKeyInput() {
    if (gKeyInput) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &gSavedInput);
        gKeyInput = false;
    }
}

bool ReadKey(char& key) {
    return read(STDIN_FILENO, &key, 1) == 1;
}

// ThreadSanitizer's runtime keeps a thread of its own beside the program's, once the program
// started one.
#if defined(__SANITIZE_THREAD__)
#define KIVHOST_TSAN_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KIVHOST_TSAN_RUNTIME 1
#endif
#endif
#ifdef KIVHOST_TSAN_RUNTIME
constexpr int kRuntimeThreads = 1;
#else
constexpr int kRuntimeThreads = 0;
#endif

int OtherThreadCount() {
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        ++count;
    }
    return error || count == 0 ? -1 : std::max(count - 1 - kRuntimeThreads, 0);
}

}  // namespace kivhost
