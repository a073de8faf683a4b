// The console on Windows.
#include <io.h>
#include <windows.h>

#include "console.h"

namespace kivhost {

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

bool InputIsTerminal() {
    return _isatty(_fileno(stdin)) != 0;
}

TerminalSize OutputTerminalSize() {
    TerminalSize size;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != 0) {
        size.columns = info.srWindow.Right - info.srWindow.Left + 1;
        size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return size;
}

bool EnableTerminalSequences() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(output, &mode) == 0) {
        return false;
    }
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int OtherThreadCount() {
    // Windows keeps worker threads of its own in every process: the count would not tell.
    return -1;
}

}  // namespace kivhost
