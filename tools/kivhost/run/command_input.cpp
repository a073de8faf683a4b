// The lines typed for kivhost run.
#include "run/command_input.h"

#include <iostream>

#include "base/file_lines.h"
#include "base/utf8.h"
#include "system/console.h"

namespace kivhost {

namespace {

void Queue(InputQueue& queue, const std::string& line) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.lines.push_back(line);
    }
    queue.ready.notify_one();
}

void End(InputQueue& queue) {
    {
        const std::lock_guard<std::mutex> lock(queue.mutex);
        queue.ended = true;
    }
    queue.ready.notify_one();
}

}  // namespace

void ReadInput(const std::shared_ptr<InputQueue>& queue) {
    std::string line;
    while (std::getline(std::cin, line)) {
        DropLineEnd(line);
        Queue(*queue, line);
    }
    End(*queue);
}

void ReadKeys(const std::shared_ptr<InputQueue>& queue, const std::shared_ptr<InputLine>& shown) {
    std::string line;
    bool escape = false;
    char key = 0;
    while (ReadKey(key)) {
        const auto byte = static_cast<unsigned char>(key);
        if (escape) {
            // A sequence ends with a letter or '~'; ESC '[' and ESC 'O' go on.
            escape = !((byte >= 'A' && byte <= 'Z' && byte != 'O') ||
                       (byte >= 'a' && byte <= 'z') || byte == '~');
            continue;
        }
        if (key == '\r' || key == '\n') {
            Queue(*queue, line);
            line.clear();
        } else if (byte == 0x7F || byte == 0x08) {
            DropLastCharacter(line);
        } else if (byte == 0x15) {  // Ctrl-U: the whole line
            line.clear();
        } else if (byte == 0x1B) {
            escape = true;
        } else if (byte >= 0x20 && byte != 0x7F && line.size() < 1000) {
            // Bytes above 0x7F belong to UTF-8 characters; a write checks each character whole.
            line += key;
        }
        shown->Set(line);
    }
    End(*queue);
}

}  // namespace kivhost
