// The two short-lived threads cold start starts: the event-format command and the controller
// poll. Each takes the DriverInstance as its argument and ends by itself, or promptly once
// shut-down is requested.
#pragma once

namespace kiv {

// Sends the event-format command "S V,Y" with up to three attempts, until a controller
// acknowledges it.
void SendEventFormat(void* argument);

// After the poll delay (50 s), asks controllers 0 to 7 in turn for their status and logs each
// that does not answer within four poll steps (4 x 300 ms).
void PollControllers(void* argument);

}  // namespace kiv
