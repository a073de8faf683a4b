// What the tool needs of the console it runs in; one implementation per system (posix/, win32/).
#pragma once

#include <cstdio>

namespace kivhost {

// Whether the stream is a terminal (and not a file or a pipe).
bool IsTerminal(std::FILE* stream);

// Whether the standard input is a terminal.
bool InputIsTerminal();

// The size of the terminal of standard output; 80 x 24 when it cannot be told.
struct TerminalSize {
    int columns = 80;
    int rows = 24;
};
TerminalSize OutputTerminalSize();

// Lets the terminal of standard output take the escape sequences of the live view (on Windows
// it has to be asked to); false when it cannot.
bool EnableTerminalSequences();

// Takes the keys typed on the terminal of standard input one by one, without the terminal's
// echo, for the live view's own input line (Ctrl-C still interrupts); false when standard input
// is no terminal. EndKeyInput puts the terminal back as it was.
bool BeginKeyInput();
void EndKeyInput();
// Waits for the next byte typed; false when the input ended or failed.
bool ReadKey(char& key);

// How many threads the process runs besides the calling one; -1 when it cannot be told.
int OtherThreadCount();

}  // namespace kivhost
