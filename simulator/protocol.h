// The text lines a Halvex chassis receives, and the byte helpers the simulator shares.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvex::sim {

constexpr int kSlotCount = 16;

// A decimal field as the driver formats it with "%02d".
struct WireNumber {
    long long value = 0;
    // More digits than a 64-bit value holds: well formed, but outside every range.
    bool huge = false;
};

enum class WireVerb { Idn, Tst, Rst, Photo, Close, Open };

// The third field of a relay command: a number, or the row's hi or lo line.
enum class LineSelect { None, Hi, Lo };

struct WireLine {
    // 1..16 once the line names a slot (digits right after the first '('), else 0.
    int slot = 0;
    // True only when the whole line matches the command grammar exactly.
    bool wellFormed = false;
    WireVerb verb = WireVerb::Idn;
    WireNumber field2;
    WireNumber field3;  // used when select is None
    LineSelect select = LineSelect::None;
};

// Parses one received line given without its terminating line feed.
WireLine ParseWireLine(std::string_view line);

// Accepts exactly the texts that "%02d" produces: "00".."99", more digits without a leading
// zero, or a minus sign followed by digits without a leading zero.
bool ParseCanonicalNumber(std::string_view text, WireNumber* out);

// One word of a control request, and the offset just past it in the request.
struct Word {
    std::string_view text;
    size_t end = 0;
};
// Splits at blanks and tabs.
std::vector<Word> SplitWords(std::string_view text);
// Decimal digits only, at most twelve of them, and no more than `limit`.
bool ParseUnsigned(std::string_view text, long long limit, long long* out);
// A pause in milliseconds, 0 to kMaxWaitMs.
constexpr long long kMaxWaitMs = 3600000;
bool ParseMs(std::string_view text, int* out);

// Lower-case hex of every byte.
std::string ToHex(std::string_view bytes);
// Decodes an even number of hex digits (either case); false on anything else.
bool FromHex(std::string_view hex, std::string* out);
// The bytes quoted with C escapes, for the trace on stderr.
std::string Printable(std::string_view bytes);

}  // namespace halvex::sim
