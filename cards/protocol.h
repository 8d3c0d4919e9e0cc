// The cards' protocol in one place: every command line's text, the classification of replies,
// the rules for identification texts, and the model an identification names.
#pragma once

#include <cstdint>
#include <memory>

#include "halvex.h"
#include "link/line_reader.h"

namespace halvex {

class CHalvexCardBase;

constexpr int32_t kCommandBufferSize = 30;  // 29 characters with the line feed, and the NUL
constexpr int32_t kIdTextSize = 128;
constexpr int32_t kDefaultReplyLimitMs = 50;

// "CLOSE(%02d,%02d,%02d)\n" or the OPEN form into `buffer` of `size` bytes. False, with nothing
// usable in the buffer, when the line would not fit: only numbers of many digits can do that.
bool FormatRelayCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t field2,
                        int32_t field3);
// "CLOSE(%02d,%02d,hi)\n" for lo == 0, "...lo)\n" for any other lo, or the OPEN form.
bool FormatHiLoCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t row,
                       int32_t lo);

// The commands that carry only the card number.
enum class DeviceCommand { kIdentify, kSelfTest, kReset, kPhoto };
// "*IDN?(%02d)\n", "*TST?(%02d)\n", "*RST(%02d)\n" or "PHOTO(%02d)\n" into `buffer`.
bool FormatDeviceCommand(char* buffer, int32_t size, DeviceCommand command, int32_t card);

constexpr int32_t kSignalChannels = 8;

// The reply to PHOTO: channel i + 1 is active (state 1) when bit i of the status byte is 0.
void DecodeSignalStatus(uint8_t statusByte, SignalStatus (&signalStatus)[kSignalChannels]);

// kFormatError for "Format Error", kCmdError for "CMD Error", kParameterRangeError for
// "Parameter Range Error", else kSuccess. Trailing carriage returns and line feeds are not part
// of the comparison, so a card's error line is an error.
int32_t ClassifyReply(const char* text);

// kNoReply when nothing was collected; otherwise stores the text up to its first NUL in `reply`
// (256 bytes) and the count of collected bytes in `replyLength`, either of which may be null,
// and returns the classification.
int32_t FinishReply(const ReplyLine& line, char* reply, int32_t* replyLength);

// Collects a reply line on `link` within `limitMs` (see CollectLine) and finishes it. Null
// out-pointers are skipped; the exchange and its result are the same.
int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength);
int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength);

// The identification text of a reply: up to its first NUL, without tabs, carriage returns
// and line feeds, cut to fit `size` bytes with its terminator.
void ExtractIdText(const char* reply, char* idText, int32_t size);
// The card of the model named in the text ("X16", then "X48", then "Y48"), or null.
std::unique_ptr<CHalvexCardBase> CreateCard(int cardNumber, const char* idText);

}  // namespace halvex
