#pragma once
/* The communication library's C API. Every byte between the loader and a card
 * passes through these calls. A connection is named by a non-zero handle; calls
 * block until done. The implementation linked into the program is vrxcom (a real
 * serial port); tests may link a scripted double instead.
 *
 * Results: 1 = success for every function except VrSendAscii, where 0 = failure
 * and any other value = success. Time-outs are in milliseconds, speeds in baud.
 *
 * vrxcom/Vrxcom.h gives the serial implementation's full contract: the device of each
 * port, the one deadline per exchange, received bytes kept for the next exchange, a
 * lost line failing at once, and its error numbers (a failure without an open handle,
 * such as a failed open, is reported by VrGetErrorInfo for handle 0).
 */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VrErrorInfo {
  int32_t number; /* the last error's number, 0 = none */
  char text[256]; /* a short English text, NUL-padded */
} VrErrorInfo;

/* type 1 = serial line; port 1..n; address: numeric network address (0 for serial).
 * Returns the handle, 0 on failure. */
int32_t VrOpenConnection(int32_t type, int32_t port, uint32_t address);

/* baud, then the line format: parity 0 (none), data bits 8, stop 0 (one stop bit). */
int32_t VrInitConnection(int32_t handle, int32_t baud, int32_t parity, int32_t dataBits,
                         int32_t stopBits);

int32_t VrSetConnectionTimeout(int32_t handle, int32_t timeoutMs);

int32_t VrCloseConnection(int32_t handle);

/* Sends the first count bytes of text (count 0 sends nothing), then stores received
 * bytes at the start of reply (at most replySize of them; replySize 0 stores nothing)
 * until endByte has arrived (stored too). One deadline, the connection's time-out,
 * covers sending and receiving. Bytes that arrive after endByte are kept for the next
 * call. Non-zero: endByte arrived in time; 0: it did not. */
int32_t VrSendAscii(int32_t handle, const char* text, int16_t count, char* reply, int32_t replySize,
                    uint8_t endByte);

/* kind 20: writes length bytes of message unchanged, then reads a count byte n and n
 * more bytes within the time-out. reply receives the count byte first. 1 = success. */
int32_t VrSendData(int32_t handle, int32_t kind, const char* message, int16_t length, char* reply,
                   int32_t replySize);

/* Fills info with the last error of handle. 1 = the record holds it. */
int32_t VrGetErrorInfo(int32_t handle, VrErrorInfo* info);

/* Writes the packet 01 04 73 status, checksum, FF and succeeds (1) when ACK (0x06)
 * arrives within the time-out. */
int32_t VrPutStatus(int32_t handle, int32_t status);

#ifdef __cplusplus
}
#endif
