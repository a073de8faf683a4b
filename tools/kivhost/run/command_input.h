// The lines typed for kivhost run: from standard input, or key by key on the live view's
// terminal. Each is read by a thread of its own that may stay blocked in the read when the run
// ends, so it holds nothing but the shared queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "view/run_view.h"

namespace kivhost {

struct InputQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> lines;
    bool ended = false;
};

// Queues each line of standard input until it ends.
void ReadInput(const std::shared_ptr<InputQueue>& queue);

// Takes the keys typed on the live view's terminal, shows the line being typed in the view and
// queues each finished line. Escape sequences (arrow keys) are passed over.
void ReadKeys(const std::shared_ptr<InputQueue>& queue, const std::shared_ptr<InputLine>& shown);

}  // namespace kivhost
