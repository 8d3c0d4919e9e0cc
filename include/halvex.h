/**
 * @file halvex.h
 * @brief Public interface of the Halvex relay card driver library.
 *
 * The library controls a chassis of Halvex relay cards (models X16, X48 and Y48) in slots 1 to 16
 * over one serial line, the command port. Every function returns a result code (HALVEX_OK on
 * success). Every function that acts on a card takes the card number (its slot, 1 to 16) first.
 *
 * Windows: Halvex32.dll exports the stdcall-decorated names (_OpenHalvex@4, ...); the debug
 * build Halvex32D.dll exports the plain names, except the eight X48 single-relay functions, which
 * keep their decorated names (_OpenX48PullUpRelay@4, ...). 64-bit Windows: Halvex64.dll exports
 * the plain names (x64 has one calling convention). Linux: libhalvex.so exports the plain
 * names. Programs that bind by name (GetProcAddress, dlsym) must use the name of their build.
 *
 * Every function may be called from any thread, and a SignalCallback may call any function.
 * What the library guarantees with threads and callbacks, late replies, unloading, exit and
 * fork, and bad arguments is written in docs/behaviour.md (in the source tree, in the Windows
 * kit's docs folder, and in share/doc/Halvex when installed); each function's notes are below.
 *
 * Texts crossing the interface are zero-terminated 8-bit strings. Message texts are Korean in
 * code page 949, handed out unconverted.
 */
#ifndef HALVEX_H
#define HALVEX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
/** The calling convention of every function: stdcall on 32-bit Windows, the default elsewhere. */
#define HALVEX_API __stdcall
/** The calling convention of a SignalCallback: cdecl on 32-bit Windows, the default elsewhere. */
#define HALVEX_CALLBACK __cdecl
#else
/** Nothing outside 32-bit Windows: the platform's one C convention. */
#define HALVEX_API
/** Nothing outside 32-bit Windows: the platform's one C convention. */
#define HALVEX_CALLBACK
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** @name Result codes
 * What every function returns; GetHalvexErrorInfo gives each one's message.
 * @{ */
/** Success. */
#define HALVEX_OK 0
/** The card rejected the command's format ("Format Error"). */
#define HALVEX_FORMAT_ERROR 1
/** The card does not support the command ("CMD Error"). */
#define HALVEX_CMD_ERROR 2
/** A parameter is out of range ("Parameter Range Error"), or refused by the library: a null
 * callback, a matrix command too long for its line. */
#define HALVEX_PARAMETER_RANGE_ERROR 3
/** No reply from the card within the time limit. */
#define HALVEX_NO_REPLY 4
/** The serial port cannot be opened, or the card is already monitoring. */
#define HALVEX_PORT_OPEN_ERROR 5
/** The serial port cannot be closed. */
#define HALVEX_PORT_CLOSE_ERROR 6
/** No card is registered under the card number. */
#define HALVEX_NO_SUCH_CARD 7
/** The card is of another model. */
#define HALVEX_WRONG_MODEL 8
/** Never returned: the message GetHalvexErrorInfo gives for a code that does not exist. */
#define HALVEX_UNKNOWN_CODE 9
/** @} */

/** Size of a buffer that holds any message with its terminator (GetHalvexErrorInfo). */
#define HALVEX_MESSAGE_MAX 52
/** Size of the reply buffer of SelfTestHalvex and QueryHalvexID. */
#define HALVEX_REPLY_MAX 256

/** One card found by discovery: 132 bytes, no padding. */
typedef struct CardInfo {
    int32_t cardNumber; /**< The card's slot, 1 to 16. */
    char idText[128];   /**< Identification text, tabs and line ends removed, at most 127 chars. */
} CardInfo;

/** One signal input of a reading: 8 bytes. */
typedef struct SignalStatus {
    int32_t channel; /**< The input, 1 to 8. */
    int32_t state;   /**< 1 (active) when the input's bit in the status byte is 0, else 0. */
} SignalStatus;

/**
 * @brief Receives each reading of a monitor (see BeginX16SignalMonitoring).
 *
 * Called on the monitor's own thread, with no lock of the library held: it may call any
 * function of the library, End of its own card included. It must stay valid until the
 * matching End has returned.
 *
 * @param status Eight entries, one per input; valid during the call only.
 * @param count The number of entries: 8.
 */
typedef void(HALVEX_CALLBACK* SignalCallback)(SignalStatus* status, int32_t count);

/* ---- Chassis ---- */

/**
 * @brief Opens the command port and discovers the cards.
 *
 * Closes the port first if it is open, then asks every slot 1 to 16 for its identification
 * and registers each card that answers. A new discovery ends every running monitor, and
 * excludes every other card call while it runs. It may be called from a callback.
 *
 * @param portName The command port: "COM5" ("COM10" and up as typed or as "\\\\.\\COM10") or
 *        "/dev/ttyUSB0". It is opened for exclusive use.
 * @return HALVEX_OK, or HALVEX_PORT_OPEN_ERROR (5) when the port cannot be opened (null,
 *         empty or unknown name, held by another program); the port is then left closed.
 */
int32_t HALVEX_API OpenHalvex(const char* portName);
/**
 * @brief Closes the command port; the cards found stay listed.
 *
 * On Linux the port gets back the terminal settings it had when it was opened.
 *
 * @return HALVEX_OK, or HALVEX_PORT_CLOSE_ERROR (6) when the port cannot be closed.
 */
int32_t HALVEX_API CloseHalvex(void);
/**
 * @brief Lists the cards the last discovery found.
 *
 * @param records Receives a new array of 16 CardInfo, the cards at its front. Release it
 *        with HeapFree(GetProcessHeap(), 0, p) on Windows, free(p) elsewhere, whatever
 *        runtime the caller was built with.
 * @param count Receives the number of cards at the front of the array.
 * @return HALVEX_OK, always; with a null records or count nothing is written.
 */
int32_t HALVEX_API GetHalvexSeries(CardInfo** records, int32_t* count);
/**
 * @brief Copies the message of a result code (Korean, code page 949) into a buffer.
 *
 * @param code A result code; codes outside 0 to 9 get the message of HALVEX_UNKNOWN_CODE.
 * @param buffer Receives the zero-terminated message; HALVEX_MESSAGE_MAX bytes hold any. A
 *        buffer too small gets an empty string; a null buffer gets nothing.
 * @param bufferSize The buffer's size in bytes; below 1, nothing is written.
 * @return HALVEX_OK, always.
 */
int32_t HALVEX_API GetHalvexErrorInfo(int32_t code, char* buffer, int32_t bufferSize);

/* ---- Any card ---- */

/**
 * @brief Runs a card's self test and hands back its reply.
 *
 * The test takes up to 15 s on an X16, 50 s on an X48 and 5 s on a Y48; the caller waits,
 * and calls of other threads on the command port wait behind it (monitoring calls do not).
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param reply Receives the card's reply, zero-terminated; needs HALVEX_REPLY_MAX (256)
 *        bytes. Null: the test runs and only the text is not written.
 * @param replyLength Receives the reply's length. Null: not written.
 * @return HALVEX_OK; 1 to 3 when the card refuses it, 4 without its reply; 7 when no card is
 *         in the slot.
 */
int32_t HALVEX_API SelfTestHalvex(int32_t cardNumber, char* reply, int32_t* replyLength);
/**
 * @brief Asks a card for its identification text.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param reply Receives the reply as sent, line feed included, zero-terminated; needs
 *        HALVEX_REPLY_MAX (256) bytes. Null: the query runs and only the text is not written.
 * @param replyLength Receives the reply's length. Null: not written.
 * @return HALVEX_OK; 1 to 3 when the card refuses it, 4 without its reply; 7 when no card is
 *         in the slot.
 */
int32_t HALVEX_API QueryHalvexID(int32_t cardNumber, char* reply, int32_t* replyLength);
/**
 * @brief Resets a card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses it, 4 without its reply; 7 when no card is
 *         in the slot.
 */
int32_t HALVEX_API ResetHalvex(int32_t cardNumber);

/* ---- X16 relays: 0-4, 7, 8 (3 also when a matrix command would not fit its line) ---- */

/**
 * @brief Closes the crosspoint of a row and a column of an X16 card's matrix.
 *
 * Row and column are sent as given (at least two digits); the card answers 3 to
 * those out of its range. Rows 10, 20, 30, 40 and 50 read on the card as a relay
 * group code, so such a call switches a relay of that group (see docs/behaviour.md).
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param column The matrix column.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X16 (nothing is
 *         sent then).
 */
int32_t HALVEX_API CloseX16RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/**
 * @brief Opens the crosspoint of a row and a column of an X16 card's matrix.
 *
 * Row and column are sent as given (at least two digits); the card answers 3 to
 * those out of its range. Rows 10, 20, 30, 40 and 50 read on the card as a relay
 * group code, so such a call switches a relay of that group (see docs/behaviour.md).
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param column The matrix column.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X16 (nothing is
 *         sent then).
 */
int32_t HALVEX_API OpenX16RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/**
 * @brief Closes a row's hi line or its lo line on an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param lo 0 for the row's hi line, any other value for its lo line.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X16 (nothing is
 *         sent then).
 */
int32_t HALVEX_API CloseX16RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/**
 * @brief Opens a row's hi line or its lo line on an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param lo 0 for the row's hi line, any other value for its lo line.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X16 (nothing is
 *         sent then).
 */
int32_t HALVEX_API OpenX16RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/**
 * @brief Closes a GP relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16GPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens a GP relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16GPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Closes an Ext GP relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The Ext GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16ExtGPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens an Ext GP relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The Ext GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16ExtGPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Closes a PS relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The PS relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16PsRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens a PS relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The PS relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16PsRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Closes a discharge relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The discharge relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16DischargeRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens a discharge relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The discharge relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16DischargeRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Closes the pull-up relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16PullUpRelay(int32_t cardNumber);
/**
 * @brief Opens the pull-up relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16PullUpRelay(int32_t cardNumber);
/**
 * @brief Closes the pull-down relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16PullDownRelay(int32_t cardNumber);
/**
 * @brief Opens the pull-down relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16PullDownRelay(int32_t cardNumber);
/**
 * @brief Closes the test-probe relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16TestProbeRelay(int32_t cardNumber);
/**
 * @brief Opens the test-probe relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16TestProbeRelay(int32_t cardNumber);
/**
 * @brief Closes the ground relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX16GndRelay(int32_t cardNumber);
/**
 * @brief Opens the ground relay of an X16 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X16
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX16GndRelay(int32_t cardNumber);

/* ---- X16 signal monitoring ---- */

/**
 * @brief Starts polling the eight signal inputs of an X16 card in the background.
 *
 * The monitor opens the card's monitoring port and, on a thread of its own, asks for a
 * reading every interval (plus about 10 ms and the I/O), handing each to the callback.
 * The callback runs on the monitor's thread with no lock of the library held, so it may
 * call any function; keep it alive until the matching End has returned. See
 * docs/behaviour.md for what Begin, End and Get do inside a callback.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param port The card's monitoring port ("COM6", "/dev/ttyUSB1"), not the command port.
 * @param intervalSeconds Seconds between readings; one that is not a number or shorter than
 *        10 ms polls without pausing.
 * @param callback Receives each reading; must not be null.
 * @return HALVEX_OK; 3 for a null callback; 5 when the port cannot be opened or the card is
 *         already monitoring (the running monitor goes on); 7 when no card is in the slot, 8
 *         when it is not an X16.
 */
int32_t HALVEX_API BeginX16SignalMonitoring(int32_t cardNumber, const char* port,
                                            double intervalSeconds, SignalCallback callback);
/**
 * @brief Stops the monitor of an X16 card and closes its monitoring port.
 *
 * Outside a callback End waits until the monitor has left (about one exchange, however
 * long the interval), so no reading arrives after it returns. Inside any callback it
 * does not wait: no callback of the ended monitor starts after it returns, and the
 * monitor closes its port as it leaves.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 6 when the port cannot be closed; 7 when no card is in the slot, 8 when
 *         it is not an X16.
 */
int32_t HALVEX_API EndX16SignalMonitoring(int32_t cardNumber);
/**
 * @brief Takes one reading of the signal inputs of an X16 card.
 *
 * Opens the monitoring port, asks once, and closes it again.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param port The card's monitoring port.
 * @param value Receives the raw status byte (0-255): bit i clear means input i + 1 is
 *        active. Null: the reading is taken and only the value is not written.
 * @return HALVEX_OK; 4 without a reply; 5 when the port cannot be opened or the card is
 *         monitoring; 6 when the port cannot be closed; 7 when no card is in the slot, 8
 *         when it is not an X16.
 */
int32_t HALVEX_API GetX16SignalMonitoringData(int32_t cardNumber, const char* port, int32_t* value);

/* ---- X48 relays: 0-4, 7, 8 (3 also when a matrix command would not fit its line) ---- */

/**
 * @brief Closes the crosspoint of a row and a column of an X48 card's matrix.
 *
 * Row and column are sent as given (at least two digits); the card answers 3 to
 * those out of its range. Rows 10, 20, 30, 40 and 50 read on the card as a relay
 * group code, so such a call switches a relay of that group (see docs/behaviour.md).
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param column The matrix column.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X48 (nothing is
 *         sent then).
 */
int32_t HALVEX_API CloseX48RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/**
 * @brief Opens the crosspoint of a row and a column of an X48 card's matrix.
 *
 * Row and column are sent as given (at least two digits); the card answers 3 to
 * those out of its range. Rows 10, 20, 30, 40 and 50 read on the card as a relay
 * group code, so such a call switches a relay of that group (see docs/behaviour.md).
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param column The matrix column.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X48 (nothing is
 *         sent then).
 */
int32_t HALVEX_API OpenX48RelayMatrix(int32_t cardNumber, int32_t row, int32_t column);
/**
 * @brief Closes a row's hi line or its lo line on an X48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param lo 0 for the row's hi line, any other value for its lo line.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X48 (nothing is
 *         sent then).
 */
int32_t HALVEX_API CloseX48RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/**
 * @brief Opens a row's hi line or its lo line on an X48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param row The matrix row.
 * @param lo 0 for the row's hi line, any other value for its lo line.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         3 also when the row and column would not fit the command line; 4 without its
 *         reply; 7 when no card is in the slot, 8 when it is not an X48 (nothing is
 *         sent then).
 */
int32_t HALVEX_API OpenX48RowHiLoMatrix(int32_t cardNumber, int32_t row, int32_t lo);
/**
 * @brief Closes the pull-up relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_CloseX48PullUpRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX48PullUpRelay(int32_t cardNumber);
/**
 * @brief Opens the pull-up relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_OpenX48PullUpRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX48PullUpRelay(int32_t cardNumber);
/**
 * @brief Closes the pull-down relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_CloseX48PullDownRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX48PullDownRelay(int32_t cardNumber);
/**
 * @brief Opens the pull-down relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_OpenX48PullDownRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX48PullDownRelay(int32_t cardNumber);
/**
 * @brief Closes the test-probe relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_CloseX48TestProbeRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX48TestProbeRelay(int32_t cardNumber);
/**
 * @brief Opens the test-probe relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_OpenX48TestProbeRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX48TestProbeRelay(int32_t cardNumber);
/**
 * @brief Closes the ground relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_CloseX48GndRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseX48GndRelay(int32_t cardNumber);
/**
 * @brief Opens the ground relay of an X48 card.
 *
 * Halvex32D.dll exports this function under its decorated name
 * (_OpenX48GndRelay@4), as Halvex32.dll does.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not an X48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenX48GndRelay(int32_t cardNumber);

/* ---- Y48 relays: 0-4, 7, 8 ---- */

/**
 * @brief Closes a GP relay of a Y48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not a Y48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseY48GPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens a GP relay of a Y48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not a Y48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenY48GPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Closes an Ext GP relay of a Y48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The Ext GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not a Y48
 *         (nothing is sent then).
 */
int32_t HALVEX_API CloseY48ExtGPRelay(int32_t cardNumber, int32_t relay);
/**
 * @brief Opens an Ext GP relay of a Y48 card.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param relay The Ext GP relay's number, sent as given; the card answers 3
 *        to one out of its range.
 * @return HALVEX_OK; 1 to 3 when the card refuses the command (format, command, range),
 *         4 without its reply; 7 when no card is in the slot, 8 when it is not a Y48
 *         (nothing is sent then).
 */
int32_t HALVEX_API OpenY48ExtGPRelay(int32_t cardNumber, int32_t relay);

/* ---- Y48 signal monitoring ---- */

/**
 * @brief Starts polling the eight signal inputs of a Y48 card in the background.
 *
 * The monitor opens the card's monitoring port and, on a thread of its own, asks for a
 * reading every interval (plus about 10 ms and the I/O), handing each to the callback.
 * The callback runs on the monitor's thread with no lock of the library held, so it may
 * call any function; keep it alive until the matching End has returned. See
 * docs/behaviour.md for what Begin, End and Get do inside a callback.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param port The card's monitoring port ("COM6", "/dev/ttyUSB1"), not the command port.
 * @param intervalSeconds Seconds between readings; one that is not a number or shorter than
 *        10 ms polls without pausing.
 * @param callback Receives each reading; must not be null.
 * @return HALVEX_OK; 3 for a null callback; 5 when the port cannot be opened or the card is
 *         already monitoring (the running monitor goes on); 7 when no card is in the slot, 8
 *         when it is not a Y48.
 */
int32_t HALVEX_API BeginY48SignalMonitoring(int32_t cardNumber, const char* port,
                                            double intervalSeconds, SignalCallback callback);
/**
 * @brief Stops the monitor of a Y48 card and closes its monitoring port.
 *
 * Outside a callback End waits until the monitor has left (about one exchange, however
 * long the interval), so no reading arrives after it returns. Inside any callback it
 * does not wait: no callback of the ended monitor starts after it returns, and the
 * monitor closes its port as it leaves.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @return HALVEX_OK; 6 when the port cannot be closed; 7 when no card is in the slot, 8 when
 *         it is not a Y48.
 */
int32_t HALVEX_API EndY48SignalMonitoring(int32_t cardNumber);
/**
 * @brief Takes one reading of the signal inputs of a Y48 card.
 *
 * Opens the monitoring port, asks once, and closes it again.
 *
 * @param cardNumber The card's slot, 1 to 16.
 * @param port The card's monitoring port.
 * @param value Receives the raw status byte (0-255): bit i clear means input i + 1 is
 *        active. Null: the reading is taken and only the value is not written.
 * @return HALVEX_OK; 4 without a reply; 5 when the port cannot be opened or the card is
 *         monitoring; 6 when the port cannot be closed; 7 when no card is in the slot, 8
 *         when it is not a Y48.
 */
int32_t HALVEX_API GetY48SignalMonitoringData(int32_t cardNumber, const char* port, int32_t* value);

#ifdef __cplusplus
}
#endif

#endif /* HALVEX_H */
