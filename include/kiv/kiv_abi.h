/*
 * The driver's binary interface as the host sees it: the one export KivMain, the request
 * record it takes, the argument records of its functions, function numbers, result codes and
 * tag data type codes.
 *
 * On 32-bit Windows every record has the host's 32-bit layout (checked below). On 64-bit
 * systems pointers take their native width; the order of the fields stays.
 */
#ifndef KIV_ABI_H
#define KIV_ABI_H

#include <stddef.h>
#include <stdint.h>

#include "kiv/kiv_callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Function numbers of KivMain (entry 1 first). */
enum KivFunctionNumber {
    KIV_FN_COLD_START = 1,
    KIV_FN_WARM_START = 2,
    KIV_FN_PARSE = 3,
    KIV_FN_BLOCK_PARSE = 4,
    KIV_FN_READ = 5,
    KIV_FN_BLOCK_READ = 6,
    KIV_FN_SINGLE_WRITE = 7,
    KIV_FN_EMPTY_8 = 8,
    KIV_FN_EMPTY_9 = 9,
    KIV_FN_BLOCK_WRITE = 10,
    KIV_FN_CLOSE = 11,
    KIV_FN_PORT_CLOSE = 12,
    KIV_FN_PORT_OPEN = 13,
    KIV_FN_GET_INFO = 14,
    KIV_FN_PORT_RECONFIGURE = 15,
    KIV_FN_TAG_FORMAT_DIALOG = 16,
    KIV_FN_EMPTY_17 = 17,
    KIV_FN_COUNT = 17
};

/* Results the host sees. */
enum KivResult { KIV_OK = 0, KIV_REJECTED = 1, KIV_FAILED = 2, KIV_DIALOG_NOT_COMPLETED = 53 };

/* Tag data type codes the driver compares. */
enum KivDataType {
    KIV_TYPE_ANALOG = 0,  /* unsigned 16-bit number */
    KIV_TYPE_DIGITAL = 6, /* one bit */
    KIV_TYPE_STRING = 7   /* text */
};

/* Size of the text area of a STRING tag's value. */
#define KIV_STRING_VALUE_SIZE 80

/* The record passed to KivMain. */
typedef struct KivRequest {
    void* instance;          /* the DriverInstance of this line; memory owned by the host */
    uint32_t functionNumber; /* 1 to 17 */
    int32_t instanceNumber;  /* the host's number of this driver instance */
    int32_t notUsed;         /* not read by the driver */
    void* argument;          /* argument record; its type depends on the function */
} KivRequest;

/* A tag as handed to Parse (function 3) and to block parse (function 4). */
typedef struct GateDescriptor {
    const char* address; /* the tag's address text (GAS) */
    int32_t hostWord2;
    int32_t dataType;
    int32_t hostWord4;
    int32_t controller; /* driver words, written by Parse */
    int32_t operation;
    int32_t lockNumber;
    int32_t bitNumber;
    int32_t bitWidth;
} GateDescriptor;

/* A tag as handed to the read function (5) and to SingleWrite (7). */
typedef struct GateAccess {
    const char* address;
    int32_t hostWord2;
    int32_t controller; /* the five driver words as Parse left them */
    int32_t operation;
    int32_t lockNumber;
    int32_t bitNumber;
    int32_t bitWidth;
    int32_t dataType;
    int32_t hostWord9;
    int32_t hostWord10;
    /* ANALOG and DIGITAL: the value is the unsigned 16-bit word at byte offset 2;
     * STRING: a text area of KIV_STRING_VALUE_SIZE bytes. */
    void* value;
} GateAccess;

/* Serial line settings; stop-bit and parity codes are those of Win32. */
typedef struct LineSettings {
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits; /* 0 one, 1 one and a half, 2 two */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

#define KIV_PORT_NAME_SIZE 12

/* Argument of ColdStart (function 1). */
typedef struct CommParams {
    char portName[KIV_PORT_NAME_SIZE];
    int32_t openPort;      /* 0: stop after the host registration */
    int32_t answerTimeout; /* units of 10 ms; raised to 100 */
    LineSettings lineSettings;
} CommParams;

/* Argument of port reconfigure (function 15). */
typedef struct PortReconfig {
    char portName[KIV_PORT_NAME_SIZE];
    int32_t answerTimeout; /* units of 10 ms; 0 keeps the current value */
    LineSettings lineSettings;
} PortReconfig;

/* Argument of GetKIVinfo (function 14), filled in by the driver. */
typedef struct DriverInfo {
    int32_t infoCode;
    const char* makerName;
    const char* banner;
    int32_t instanceSize;
    int32_t infoValue4;
    uint16_t defaultBaud;
    uint16_t defaultDataBits;
    uint16_t defaultStopBits;
    uint16_t defaultParity;
    int32_t infoValue32;
} DriverInfo;

/* Argument of the tag format dialog (function 16). */
typedef struct TagFormatRequest {
    char* output; /* receives the composed address text */
} TagFormatRequest;

/* The driver's one export. */
typedef int32_t(KIV_STDCALL* KivMainFunction)(KivRequest* request);

#if defined(KIV_BUILDING_DRIVER)
KIV_EXPORT int32_t KIV_STDCALL KivMain(KivRequest* request);
#else
int32_t KIV_STDCALL KivMain(KivRequest* request);
#endif

#ifdef __cplusplus
}
#endif

/* The host's 32-bit layouts. */
#if defined(__cplusplus) && (UINTPTR_MAX == 0xFFFFFFFFu)
static_assert(sizeof(KivRequest) == 20, "KivRequest layout");
static_assert(sizeof(GateDescriptor) == 36, "GateDescriptor layout");
static_assert(sizeof(GateAccess) == 44, "GateAccess layout");
static_assert(sizeof(CommParams) == 28, "CommParams layout");
static_assert(sizeof(PortReconfig) == 24, "PortReconfig layout");
static_assert(sizeof(LineSettings) == 8, "LineSettings layout");
static_assert(sizeof(DriverInfo) == 32, "DriverInfo layout");
static_assert(offsetof(GateAccess, value) == 40, "GateAccess value pointer is the eleventh word");
static_assert(offsetof(GateDescriptor, bitWidth) == 32, "GateDescriptor driver words");
static_assert(offsetof(CommParams, lineSettings) == 20, "CommParams line settings");
static_assert(offsetof(DriverInfo, defaultBaud) == 20, "DriverInfo defaults");
#endif

#endif
