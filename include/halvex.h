/*
 * halvex.h - public interface of the Halvex relay card driver library.
 *
 * The library controls a chassis of Halvex relay cards (models X16, X48 and Y48) in slots 1 to 16
 * over one serial line, the command port. Every function returns a result code (HALVEX_OK on
 * success). Every function that acts on a card takes the card number (its slot, 1 to 16) first.
 *
 * Windows: Halvex32.dll exports the stdcall-decorated names (_OpenHalvex@4, ...); the debug
 * build Halvex32D.dll exports the plain names, except the eight X48 single-relay functions, which
 * keep their decorated names (_OpenX48PullUpRelay@4, ...). Linux: libhalvex.so exports the plain
 * names. Programs that bind by name (GetProcAddress, dlsym) must use the name of their build.
 *
 * Threads: every function may be called from any thread. Calls that use the command port or
 * the card list take turns: one exchange at a time, and a discovery (OpenHalvex) excludes every
 * card call, so two threads never read each other's replies. The monitoring functions lock only
 * to find their card, so they never wait behind another card's exchange (a self test may take
 * 50 s). A monitor calls its SignalCallback on its own thread, with no lock of the library
 * held, so the callback may call any function of any card without deadlock:
 *   - End on a monitor's thread (inside any callback) does not wait for the ended monitor's
 *     worker, which may itself be waiting for this thread: no callback of that monitor starts
 *     after End returns, and its worker closes its port as it leaves. End on any other thread
 *     waits until the worker has left (and so its last callback has returned).
 *   - Begin or Get, inside a callback, of a card whose monitor was just ended and whose own
 *     callback is still running: 5, since its port is still held; it succeeds once that
 *     callback has returned. A monitor cannot restart itself from its own callback (5).
 *   - OpenHalvex inside a callback: the new discovery replaces the cards and ends their
 *     monitors, that of the calling callback included; a card stays in memory until its worker
 *     has left, and a monitoring call on a replaced card gives 7.
 * Late replies: after a reply that did not complete within its limit (result 4, or text
 * without its line feed, and a silent slot during discovery), the next command waits until
 * 80 ms have passed, and whatever arrived meanwhile is discarded with that command's purge; a
 * reply later than that still cannot be told from the next command's. A discovery of an empty
 * chassis takes about 1.2 s longer for it; exchanges that follow a complete reply wait nothing.
 * A monitoring port that goes away (adapter unplugged) is reopened by name each cycle: no
 * readings meanwhile, End stays prompt, and the readings resume when the port comes back.
 * Unloading: the calls under way finish first (for up to 5 s; longer ones, such as a self test
 * at process exit, leave everything in place), then every monitor ends and every port closes;
 * calls that come later fail cleanly (7, or 5 for OpenHalvex). Unloading the library from
 * inside a callback is not supported. In a child made by fork() the library starts afresh, with
 * the command port closed and no cards; the parent's ports stay the parent's (5 if the child
 * opens one the parent holds). Linux: closing a port puts back the terminal settings it had.
 *
 * Bad arguments never crash and never hang:
 *   - a card number with no card (0, negative, above 16, or an empty slot): 7;
 *   - a card of another model: 8; in both cases nothing is sent;
 *   - a null, empty or unknown port name: 5 (OpenHalvex then leaves the command port closed);
 *   - a null callback: 3; a matrix row and column too long for a command line: 3;
 *   - null reply, replyLength or value pointers: the exchange runs and its result is returned,
 *     only the missing out-value is not written;
 *   - null records or count for GetHalvexSeries, a null buffer or a size below 1 for
 *     GetHalvexErrorInfo: nothing is written, the result is 0;
 *   - an interval that is not a number or shorter than 10 ms polls without pausing; any
 *     interval, however long, ends promptly on End.
 *   Relay, row and column numbers are sent as given; the card answers 3 to those out of range.
 *   Matrix rows 10, 20, 30, 40 and 50 are sent too, although a relay command's second field is
 *   either a row or a group code (10 GP, 20 Ext GP, 30 PS, 40 discharge, 50 single relays):
 *   CLOSE(01,30,02) reads on the card as PS relay 2, so such a call switches a relay of that
 *   group and returns 0. halvexctl refuses these rows unless told --allow-group-rows.
 *
 * Texts crossing the interface are zero-terminated 8-bit strings. Message texts are Korean in
 * code page 949, handed out unconverted.
 */
#ifndef HALVEX_H
#define HALVEX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define HALVEX_API __stdcall
#define HALVEX_CALLBACK __cdecl
#else
#define HALVEX_API
#define HALVEX_CALLBACK
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define HALVEX_OK 0           /* success */
#define HALVEX_FORMAT_ERROR 1 /* the card rejected the command's format */
#define HALVEX_CMD_ERROR 2    /* the card does not support the command */
#define HALVEX_PARAMETER_RANGE_ERROR                                                         \
    3                             /* a parameter is out of range (or refused by the library) \
                                   */
#define HALVEX_NO_REPLY 4         /* no reply from the card within the time limit */
#define HALVEX_PORT_OPEN_ERROR 5  /* the serial port cannot be opened (or is busy) */
#define HALVEX_PORT_CLOSE_ERROR 6 /* the serial port cannot be closed */
#define HALVEX_NO_SUCH_CARD 7     /* no card is registered under the card number */
#define HALVEX_WRONG_MODEL 8      /* the card is of another model */
#define HALVEX_UNKNOWN_CODE 9     /* message for a code that does not exist; never returned */

/* Size of a buffer that holds any message with its terminator. */
#define HALVEX_MESSAGE_MAX 52
/* Size of the reply buffer of SelfTestHalvex and QueryHalvexID. */
#define HALVEX_REPLY_MAX 256

/* One card found by discovery: 132 bytes, no padding. */
typedef struct CardInfo {
    int32_t cardNumber; /* 1 to 16 */
    char idText[128];   /* identification text, tabs and line ends removed, at most 127 chars */
} CardInfo;

/* One signal input of a reading: 8 bytes. */
typedef struct SignalStatus {
    int32_t channel; /* 1 to 8 */
    int32_t state;   /* 1 when the input's bit in the status byte is 0, else 0 */
} SignalStatus;

/* Receives each reading on the monitor's thread: eight entries, count 8; valid during the call. */
typedef void(HALVEX_CALLBACK* SignalCallback)(SignalStatus* status, int32_t count);

/* ---- Chassis ---- */

/* Opens the command port (closing it first if open) and discovers the cards: 0 or 5. */
int32_t HALVEX_API OpenHalvex(const char* portName);
/* Closes the command port; the cards stay listed: 0 or 6. */
int32_t HALVEX_API CloseHalvex(void);
/* Lists the cards: *records gets a new array of 16 CardInfo, *count the cards at its front.
 * Release the array with HeapFree(GetProcessHeap(), 0, p) on Windows, free(p) elsewhere.
 * Null records or count: nothing is written. Always 0. */
int32_t HALVEX_API GetHalvexSeries(CardInfo** records, int32_t* count);
/* Copies the message of a code (codes outside 0..9 get the message of 9) into buffer; a buffer
 * too small gets an empty string, a null buffer or size 0 gets nothing. Always 0. */
int32_t HALVEX_API GetHalvexErrorInfo(int32_t code, char* buffer, int32_t bufferSize);

/* ---- Any card ---- */

/* Self test (up to 15 s X16, 50 s X48, 5 s Y48); reply needs 256 bytes: 0-4, 7. */
int32_t HALVEX_API SelfTestHalvex(int32_t cardNumber, char* reply, int32_t* replyLength);
/* Identification query; reply needs 256 bytes and keeps its line feed: 0-4, 7. */
int32_t HALVEX_API QueryHalvexID(int32_t cardNumber, char* reply, int32_t* replyLength);
/* Reset: 0-4, 7. */
int32_t HALVEX_API ResetHalvex(int32_t cardNumber);

/* ---- X16 relays: 0-4, 7, 8 (3 also when a matrix command would not fit its line) ---- */

/* Closes the crosspoint of a row and a column. */
int32_t HALVEX_API CloseX16RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/* Opens the crosspoint of a row and a column. */
int32_t HALVEX_API OpenX16RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/* Closes a row's hi line (lo = 0) or lo line (lo != 0). */
int32_t HALVEX_API CloseX16RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/* Opens a row's hi line (lo = 0) or lo line (lo != 0). */
int32_t HALVEX_API OpenX16RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/* Closes a GP relay. */
int32_t HALVEX_API CloseX16GPRelay(int32_t cardNumber, int32_t relay);
/* Opens a GP relay. */
int32_t HALVEX_API OpenX16GPRelay(int32_t cardNumber, int32_t relay);
/* Closes an Ext GP relay. */
int32_t HALVEX_API CloseX16ExtGPRelay(int32_t cardNumber, int32_t relay);
/* Opens an Ext GP relay. */
int32_t HALVEX_API OpenX16ExtGPRelay(int32_t cardNumber, int32_t relay);
/* Closes a PS relay. */
int32_t HALVEX_API CloseX16PsRelay(int32_t cardNumber, int32_t relay);
/* Opens a PS relay. */
int32_t HALVEX_API OpenX16PsRelay(int32_t cardNumber, int32_t relay);
/* Closes a discharge relay. */
int32_t HALVEX_API CloseX16DischargeRelay(int32_t cardNumber, int32_t relay);
/* Opens a discharge relay. */
int32_t HALVEX_API OpenX16DischargeRelay(int32_t cardNumber, int32_t relay);
/* Closes the pull-up relay. */
int32_t HALVEX_API CloseX16PullUpRelay(int32_t cardNumber);
/* Opens the pull-up relay. */
int32_t HALVEX_API OpenX16PullUpRelay(int32_t cardNumber);
/* Closes the pull-down relay. */
int32_t HALVEX_API CloseX16PullDownRelay(int32_t cardNumber);
/* Opens the pull-down relay. */
int32_t HALVEX_API OpenX16PullDownRelay(int32_t cardNumber);
/* Closes the test-probe relay. */
int32_t HALVEX_API CloseX16TestProbeRelay(int32_t cardNumber);
/* Opens the test-probe relay. */
int32_t HALVEX_API OpenX16TestProbeRelay(int32_t cardNumber);
/* Closes the ground relay. */
int32_t HALVEX_API CloseX16GndRelay(int32_t cardNumber);
/* Opens the ground relay. */
int32_t HALVEX_API OpenX16GndRelay(int32_t cardNumber);

/* ---- X16 signal monitoring ---- */

/* Starts polling the inputs on port every intervalSeconds; readings go to callback:
 * 0, 3 (null callback), 5 (port cannot be opened, or already monitoring), 7, 8. */
int32_t HALVEX_API BeginX16SignalMonitoring(int32_t cardNumber, const char* port,
                                            double intervalSeconds, SignalCallback callback);
/* Stops the monitor and waits for it to leave, then closes its port: 0, 6, 7, 8. Inside a
 * callback it does not wait (see Threads above). */
int32_t HALVEX_API EndX16SignalMonitoring(int32_t cardNumber);
/* Takes one reading on port; *value gets the raw status byte (0-255): 0, 4, 5, 6, 7, 8. */
int32_t HALVEX_API GetX16SignalMonitoringData(int32_t cardNumber, const char* port, int32_t* value);

/* ---- X48 relays: 0-4, 7, 8 (3 also when a matrix command would not fit its line) ---- */

/* Closes the crosspoint of a row and a column. */
int32_t HALVEX_API CloseX48RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/* Opens the crosspoint of a row and a column. */
int32_t HALVEX_API OpenX48RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/* Closes a row's hi line (lo = 0) or lo line (lo != 0). */
int32_t HALVEX_API CloseX48RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/* Opens a row's hi line (lo = 0) or lo line (lo != 0). */
int32_t HALVEX_API OpenX48RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/* Closes the pull-up relay. */
int32_t HALVEX_API CloseX48PullUpRelay(int32_t cardNumber);
/* Opens the pull-up relay. */
int32_t HALVEX_API OpenX48PullUpRelay(int32_t cardNumber);
/* Closes the pull-down relay. */
int32_t HALVEX_API CloseX48PullDownRelay(int32_t cardNumber);
/* Opens the pull-down relay. */
int32_t HALVEX_API OpenX48PullDownRelay(int32_t cardNumber);
/* Closes the test-probe relay. */
int32_t HALVEX_API CloseX48TestProbeRelay(int32_t cardNumber);
/* Opens the test-probe relay. */
int32_t HALVEX_API OpenX48TestProbeRelay(int32_t cardNumber);
/* Closes the ground relay. */
int32_t HALVEX_API CloseX48GndRelay(int32_t cardNumber);
/* Opens the ground relay. */
int32_t HALVEX_API OpenX48GndRelay(int32_t cardNumber);

/* ---- Y48 relays: 0-4, 7, 8 ---- */

/* Closes a GP relay. */
int32_t HALVEX_API CloseY48GPRelay(int32_t cardNumber, int32_t relay);
/* Opens a GP relay. */
int32_t HALVEX_API OpenY48GPRelay(int32_t cardNumber, int32_t relay);
/* Closes an Ext GP relay. */
int32_t HALVEX_API CloseY48ExtGPRelay(int32_t cardNumber, int32_t relay);
/* Opens an Ext GP relay. */
int32_t HALVEX_API OpenY48ExtGPRelay(int32_t cardNumber, int32_t relay);

/* ---- Y48 signal monitoring ---- */

/* As BeginX16SignalMonitoring, for a Y48 card. */
int32_t HALVEX_API BeginY48SignalMonitoring(int32_t cardNumber, const char* port,
                                            double intervalSeconds, SignalCallback callback);
/* As EndX16SignalMonitoring, for a Y48 card. */
int32_t HALVEX_API EndY48SignalMonitoring(int32_t cardNumber);
/* As GetX16SignalMonitoringData, for a Y48 card. */
int32_t HALVEX_API GetY48SignalMonitoringData(int32_t cardNumber, const char* port, int32_t* value);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_H */
