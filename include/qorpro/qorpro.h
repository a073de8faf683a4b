/*
 * The host library's calls as the driver makes them.
 *
 * Every call but err uses the callee-cleans convention on 32-bit Windows and returns a
 * 16-bit status, 0 meaning success. Gate (tag) identifiers are 32-bit integers; values are
 * doubles; a client is known by its one-byte handle.
 */
#ifndef QORPRO_H
#define QORPRO_H

#include <stdint.h>

#include "kiv/kiv_callconv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Host message code of the shut-down signal. */
#define QOR_SIGNAL_SHUT 0

/* Data-source code of the driver's tag writes. */
#define QOR_SOURCE_DRIVER 2

/* Text values the stand-in keeps: at most this many bytes with the terminator. Every text
 * the host hands out fits a buffer of this size. */
#define QOR_TEXT_SIZE 80

/* A host message; the driver reads only the code. */
typedef struct QorMessage {
    uint16_t code;
    uint16_t reserved;
    int32_t data[7];
} QorMessage;

/* Writes one log line. Variadic, caller-cleans; the result carries no meaning. */
int KIV_CDECL err(int level, const char* format, ...) KIV_PRINTF_LIKE(2, 3);

uint16_t KIV_STDCALL QorMkClient(const char* name, int32_t kind, int32_t flags, uint8_t* clientId);
uint16_t KIV_STDCALL QorRmClient(uint8_t clientId);
uint16_t KIV_STDCALL QorGetMsg(uint8_t clientId, QorMessage* message);
uint16_t KIV_STDCALL QorGetGateIdByAddressStr(uint8_t clientId, uint8_t instanceNumber,
                                              const char* address, int32_t* gateId);
uint16_t KIV_STDCALL QorGetGateId(uint8_t clientId, const char* name, int32_t* gateId);
uint16_t KIV_STDCALL QorGetGateFormat(uint8_t clientId, int32_t gateId, int32_t* dataType);
uint16_t KIV_STDCALL QorPutGateVal(uint8_t clientId, int32_t gateId, int32_t source, double value,
                                   int32_t reserved1, int32_t reserved2);
uint16_t KIV_STDCALL QorPutGateStr(uint8_t clientId, int32_t gateId, int32_t source,
                                   const char* text, int32_t reserved1, int32_t reserved2);
uint16_t KIV_STDCALL QorGetGateVal(uint8_t clientId, int32_t request, int32_t gateId, double* value,
                                   int32_t* out1, int32_t* out2);
uint16_t KIV_STDCALL QorGetGateStr(uint8_t clientId, int32_t request, int32_t gateId, char* text,
                                   int32_t* out1, int32_t* out2);

#ifdef __cplusplus
}
#endif

#endif
