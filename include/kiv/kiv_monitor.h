/*
 * The driver's monitoring interface, for tools that run the driver (kivhost): what the driver
 * sends and receives, the events and status reports it publishes, the outcome of each attempt
 * of a command, and which instance a thread works for. It is not part of the host's interface:
 * a host never sees it, and the driver library still exports KivMain alone.
 *
 * At cold start the driver looks in the program that loaded it for a function exported under
 * the name KIV_TOOL_MONITOR_NAME (a host has none: then nothing is monitored). The driver calls
 * it once with the instance number; the hook it fills in stays for the instance until close.
 * The sink is called synchronously on the driver's own threads, often while the driver holds
 * its port lock: it must return quickly and must not call the driver. A record and the bytes
 * it points to live only for the call.
 */
#ifndef KIV_MONITOR_H
#define KIV_MONITOR_H

#include <stdint.h>

#include "kiv/kiv_callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The kinds of record. */
enum KivMonitorKind {
    KIV_MON_FRAME_SENT = 1,     /* bytes: the frame written to the line */
    KIV_MON_FRAME_RECEIVED = 2, /* bytes: a frame read from the line, before its checks */
    KIV_MON_ILLEGAL_FRAME = 3,  /* bytes: a received frame the receiver refused */
    KIV_MON_EVENT = 4,          /* after its tags: code, unit (or -1), bytes (its text), key */
    KIV_MON_STATUS = 5,         /* controller: whose status report is published */
    KIV_MON_ATTEMPT = 6,        /* bytes: the command; attempt: from 0; code: KivMonitorOutcome */
    KIV_MON_POLL_SILENT = 7,    /* controller: it did not answer the start-up poll */
    KIV_MON_THREAD = 8          /* the calling thread works for this instance from now on */
};

/* How one attempt of a command ended. */
enum KivMonitorOutcome {
    KIV_MON_ANSWERED = 0,
    KIV_MON_WAIT_FAILED = 1, /* the wait for the answer failed */
    KIV_MON_TIMED_OUT = 2,   /* no answer within the answer time */
    KIV_MON_SHUT_DOWN = 3,   /* ended by shut-down */
    KIV_MON_SEND_FAILED = 4  /* the frame did not go out */
};

typedef struct KivMonitorRecord {
    int32_t kind;           /* KivMonitorKind */
    int32_t instanceNumber; /* the host's instance number */
    const char* bytes;      /* frames and commands: the bytes, not terminated; else null */
    uint32_t count;         /* the number of bytes */
    int32_t controller;     /* status and poll records; else -1 */
    int32_t code;           /* event code, or the attempt's KivMonitorOutcome; else 0 */
    int32_t unit;           /* event records: the unit the event names, or -1 */
    int32_t attempt;        /* attempt records: 0 for the first */
    /* Event records of a badge event whose frame carries a badge: the key number the driver
     * looked the holder up by (decimal, terminated); else null. An event record's bytes are
     * the event's text as the driver read it: the frame without its LF and CR. */
    const char* key;
    /* Event records: what the driver makes of the event's code, whether or not the event names
     * its unit. The door state the code sets (0 to 3), else -1; 1 when the code is a badge event
     * (its holder is looked up), else 0; the keyword of the tag the code sets for its unit
     * ("PSPWR" for "3PSPWR") and the value it sets, else null and 0. */
    int32_t doorState;
    int32_t badgeEvent;
    const char* unitTag;
    int32_t unitTagValue;
} KivMonitorRecord;

typedef void(KIV_CDECL* KivMonitorSink)(const KivMonitorRecord* record, void* context);

typedef struct KivMonitorHook {
    KivMonitorSink sink; /* null: nothing is monitored */
    void* context;
} KivMonitorHook;

/* What the program exports: fills in the hook for an instance number. */
typedef void(KIV_CDECL* KivToolMonitorFunction)(int32_t instanceNumber, KivMonitorHook* hook);

#define KIV_TOOL_MONITOR_NAME "kivToolMonitor"

#ifdef __cplusplus
}
#endif

#endif
