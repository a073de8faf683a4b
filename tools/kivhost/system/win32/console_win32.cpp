// The console on Windows.
#include <io.h>
#include <windows.h>

#include "system/console.h"

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

namespace {

DWORD gSavedInputMode = 0;
bool gKeyInput = false;

}  // namespace

bool BeginKeyInput() {
    if (gKeyInput) {
        return true;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (GetConsoleMode(input, &gSavedInputMode) == 0) {
        return false;
    }
    // Key by key, no echo; Ctrl-C still reaches the program as a signal.
    gKeyInput = SetConsoleMode(input, ENABLE_PROCESSED_INPUT) != 0;
    return gKeyInput;
}

void EndKeyInput() {
    if (gKeyInput) {
        (void)SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gSavedInputMode);
        gKeyInput = false;
    }
}

bool ReadKey(char& key) {
    DWORD count = 0;
    return ReadConsoleA(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &count, nullptr) != 0 &&
           count == 1;
}

int OtherThreadCount() {
    // Windows keeps worker threads of its own in every process: the count would not tell.
    return -1;
}

}  // namespace kivhost
