/*
 * For tools and tests that link the driver itself (kivhost --driver built-in): the driver's own
 * delays, shortened for the instances cold-started from now on. Not part of the host's
 * interface: the driver library does not export it, so a driver a host loads keeps its delays.
 */
#ifndef KIV_TOOL_H
#define KIV_TOOL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A delay left as it is. */
#define KIV_TOOL_DELAY_UNCHANGED UINT32_MAX

/* The delay from a cold start to the controller poll (50 s) and before the receiver's first
   cycle (1 s), in milliseconds; KIV_TOOL_DELAY_UNCHANGED keeps one. */
void kivToolSetDelays(uint32_t pollDelayMs, uint32_t receiverStartDelayMs);

/* What the driver takes for a setup text tag (an address such as "PDATE"), in words, or NULL when
   the address stages no text. The driver refuses such a text without a log line; a tool names
   the reason with this. */
const char* kivToolTextForm(const char* address);

#ifdef __cplusplus
}
#endif

#endif
