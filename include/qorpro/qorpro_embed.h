/*
 * The stand-in host library, seen from the program that embeds it (kivhost, the tests).
 *
 * The stand-in keeps an in-memory tag database, the registered clients with their message
 * queues, and every log line the driver wrote. All calls are thread-safe.
 */
#ifndef QORPRO_EMBED_H
#define QORPRO_EMBED_H

#include <stddef.h>
#include <stdint.h>

#include "qorpro/qorpro.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The host calls, for failure injection and call counting. */
typedef enum QorCall {
    QOR_CALL_MK_CLIENT = 0,
    QOR_CALL_RM_CLIENT,
    QOR_CALL_GET_MSG,
    QOR_CALL_GET_GATE_ID_BY_ADDRESS,
    QOR_CALL_GET_GATE_ID,
    QOR_CALL_GET_GATE_FORMAT,
    QOR_CALL_PUT_GATE_VAL,
    QOR_CALL_PUT_GATE_STR,
    QOR_CALL_GET_GATE_VAL,
    QOR_CALL_GET_GATE_STR,
    QOR_CALL_COUNT
} QorCall;

/* Status the stand-in returns for an unknown tag, client or argument. */
#define QOR_STATUS_NOT_FOUND 1
#define QOR_STATUS_BAD_ARGUMENT 2
#define QOR_STATUS_NO_CLIENT 3

typedef void (*QorLogCallback)(int level, const char* text, void* context);
typedef void (*QorChangeCallback)(int32_t gateId, void* context);

/* Forgets every tag, client, queued message, log line, failure and count. */
void qorReset(void);

/* --- Tags --- */

/* Defines a tag; returns its gate identifier (from 1), or -1 when the name is taken or a
 * text is missing. The address is the text the driver looks tags up by. */
int32_t qorDefineTag(const char* name, const char* address, int32_t instanceNumber,
                     int32_t dataType);
/* Gate identifier of the named tag, or -1. */
int32_t qorFindTag(const char* name);
int32_t qorFindTagByAddress(int32_t instanceNumber, const char* address);
/* Number of tags defined. */
int32_t qorTagCount(void);
/* 0 on success, QOR_STATUS_NOT_FOUND for an unknown gate. Texts longer than
 * QOR_TEXT_SIZE - 1 bytes are cut. Setting a value counts as a change. */
int qorSetValue(int32_t gateId, double value);
int qorSetText(int32_t gateId, const char* text);
int qorGetValue(int32_t gateId, double* value);
int qorGetText(int32_t gateId, char* text, size_t size);
/* Name, address, instance number and data type of a tag. */
int qorGetTagInfo(int32_t gateId, char* name, size_t nameSize, char* address, size_t addressSize,
                  int32_t* instanceNumber, int32_t* dataType);
/* How many times the driver wrote the tag (QorPutGateVal or QorPutGateStr). */
uint32_t qorWriteCount(int32_t gateId);

/* Every store into a tag (by the driver or by the embedding program) adds 1 to the change
 * counter. qorWaitForChange waits until the counter exceeds 'seen' or the time-out passes and
 * returns the counter then. */
uint64_t qorChangeCount(void);
uint64_t qorWaitForChange(uint64_t seen, int32_t timeoutMs);
/* Called, outside the stand-in's lock, after every store into a tag; NULL removes it. */
void qorSetChangeCallback(QorChangeCallback callback, void* context);

/* --- Clients and messages --- */

/* Queues a message for a client; wakes a blocked QorGetMsg. 0, or QOR_STATUS_NO_CLIENT. */
int qorPostMessage(uint8_t clientId, uint16_t code);
/* Whether the client is registered; the number of registered clients. */
int qorClientExists(uint8_t clientId);
int32_t qorClientCount(void);
/* With a non-zero argument QorMkClient hands out the lowest free number, as some hosts do,
 * instead of the next one round the 255 (the default; qorReset restores it). */
void qorReuseClientNumbers(int lowestFree);

/* Name the client registered with, or an empty text. */
int qorClientName(uint8_t clientId, char* name, size_t size);

/* --- Log --- */

/* Every line err wrote, in order. */
size_t qorLogCount(void);
/* Copies line 'index'; 0 on success, QOR_STATUS_NOT_FOUND past the end. */
int qorLogLine(size_t index, int* level, char* text, size_t size);
void qorClearLog(void);
/* Waits until at least 'count' lines were written or the time-out passes; returns the number
 * of lines then. */
size_t qorWaitForLog(size_t count, int32_t timeoutMs);
/* Called for every line as it is written, outside the stand-in's lock; NULL removes it. */
void qorSetLogCallback(QorLogCallback callback, void* context);

/* --- Failure injection and counting --- */

/* Makes the next 'times' calls of 'call' return 'status' (times < 0: until cleared). A failed
 * call changes nothing. status 0 clears the failure of that call. */
void qorFailCall(QorCall call, uint16_t status, int32_t times);
void qorClearFailures(void);
/* How many times the driver made the call since the last reset. */
uint32_t qorCallCount(QorCall call);

#ifdef __cplusplus
}
#endif

#endif
