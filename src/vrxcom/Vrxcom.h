#pragma once
/* vrxcom: our communication library, the Vr functions of link/codeDLL.h on a real
 * serial port. This header is its contract; the declarations are in codeDLL.h.
 *
 * Ports
 *   Port n is the device that ostra::DeviceForPort (link/PortDevice.h) names: the
 *   command line's choice, the environment variable VRXCOM_COM<n> (a path such as
 *   /dev/ttyUSB0, /dev/serial/by-id/..., or a pseudo-terminal), the remembered
 *   choice, otherwise COM<n> on Windows and /dev/ttyS<n-1> elsewhere. Only connection type 1
 *   (serial line) is supported; the network address is ignored. A port opens at
 *   19200 baud, 8 data bits, no parity, one stop bit, no flow control, with its input
 *   emptied and a time-out of 1000 ms. On Linux the driver is asked for low-latency
 *   mode (USB adapters otherwise hold replies back for up to 16 ms); a driver that
 *   refuses (a pseudo-terminal) is ignored.
 *
 * Handles
 *   VrOpenConnection returns a non-zero handle, unique among open connections, or 0.
 *   Every call with handle 0 or a handle that is not open fails without touching a
 *   port. VrCloseConnection always closes a known handle (result 1), also after the
 *   line was lost, so that the port can be opened again.
 *
 * Line format (VrInitConnection): baud > 0; parity 0 none, 1 odd, 2 even, 3 mark,
 *   4 space; data bits 5..8; stop bits 0 one, 1 one and a half, 2 two.
 *
 * Exchanges
 *   One deadline, now + the connection's time-out, covers sending and receiving;
 *   waits block with the time left and never spin. The bytes received but not used
 *   by an exchange (those after an end byte, after a counted reply or after an ACK)
 *   are kept for the next exchange on that handle, so nothing on the line is lost
 *   between calls; VrCloseConnection drops them.
 *
 *   VrSendAscii: writes the first count bytes of text (count 0 writes nothing), then
 *   takes bytes up to and including endByte. At most replySize of them are stored at
 *   the start of reply, the rest is dropped, but the exchange still waits for the
 *   end byte. Result: the number of bytes taken, end byte included (>= 1), or 0 when
 *   the end byte did not arrive in time, the line failed, or an argument is bad
 *   (negative count, NULL text with count > 0, NULL reply with replySize > 0). On a
 *   failure the bytes that did arrive have been stored and are not kept.
 *
 *   VrSendData, kind 20 (the only kind): writes the length bytes of message
 *   unchanged, then takes a count byte n and n more bytes; reply receives the count
 *   byte first, at most replySize bytes stored. Result 1, or 0 on time-out, line
 *   failure or bad argument.
 *
 *   VrPutStatus(h, s): writes 01 04 73 s c FF, where s is the low byte of status and
 *   c = 255 - ((0x73 + s) mod 256), then takes one byte: ACK (06) gives 1; another
 *   byte, a time-out or a line failure gives 0.
 *
 * Lost line: a device that disappears, a pseudo-terminal whose other side closes, or
 *   any read or write the driver fails ends the exchange at once (not at its
 *   deadline) with VRXCOM_LINE_LOST; every later exchange on the handle fails the
 *   same way until it is closed and opened again.
 *
 * Errors: each failing call records its error (a number below and a short English
 *   text) with its handle; failures without an open handle (a failed open, an unknown
 *   handle) are recorded under handle 0. VrGetErrorInfo(h, info) fills info with the
 *   last error of h (number 0, "No error" when there was none) and returns 1; with
 *   NULL info it returns 0. For a handle that is not open it returns 1 and the error
 *   recorded under handle 0. A failed open names the device and the system's reason
 *   ("Cannot open /dev/ttyUSB0: Permission denied; the device belongs to the group
 *   dialout: add yourself to the group dialout ..."); see vrxcom/OpenFailure.h.
 *
 * Cancel: VrxcomRequestCancel() makes every exchange that is waiting end within
 *   kVrxcomCancelSliceMs (waits block in slices of at most that length and look at the
 *   request between them; nothing spins) and every later exchange fail at once, with
 *   VRXCOM_CANCELLED, until VrxcomClearCancel(). Opening, setting up and closing a
 *   port are not refused, so that a cancelled run can still put its port back. The
 *   request is one lock-free atomic flag: VrxcomRequestCancel may be called from a
 *   signal handler or any thread. VrxcomRequestCancelPort(n) does the same for the
 *   connections of port n alone (one slot of several stopped on its own), until
 *   VrxcomClearCancelPort(n); any thread, not from a signal handler.
 *
 * Results: 1 = success (VrSendAscii: non-zero), 0 = failure.
 *
 * Threads: calls on different connections run at the same time, each connection from
 *   one thread (its own lock makes overlapping calls on it wait; the table of handles
 *   is locked only to find or change an entry). Closing a connection waits for a call
 *   in progress on it.
 */
#include "link/codeDLL.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  VRXCOM_NO_ERROR = 0,
  VRXCOM_BAD_HANDLE = 1,       /* handle 0 or not open */
  VRXCOM_OPEN_FAILED = 2,      /* the device could not be opened or set up */
  VRXCOM_BAD_SETTINGS = 3,     /* speed, line format or time-out refused */
  VRXCOM_TIMED_OUT = 4,        /* the deadline passed */
  VRXCOM_LINE_LOST = 5,        /* device gone, line hung up, or the driver failed a transfer */
  VRXCOM_BAD_ARGUMENT = 6,     /* a NULL buffer, a negative count, an unknown kind or type */
  VRXCOM_NOT_ACKNOWLEDGED = 7, /* VrPutStatus received a byte other than ACK */
  VRXCOM_CANCELLED = 8         /* VrxcomRequestCancel() is in force */
};

enum { kVrxcomCancelSliceMs = 100 };

void VrxcomRequestCancel(void); /* async-signal-safe */
void VrxcomClearCancel(void);
int VrxcomCancelRequested(void);
void VrxcomRequestCancelPort(int32_t port);
void VrxcomClearCancelPort(int32_t port);

#ifdef __cplusplus
}
#endif
