#include "protocol.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace halvex::sim {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits right after the first '(' decide the slot, even when the rest of the line is malformed,
// so that a card can still answer "Format Error" to a line meant for it.
int AttributeSlot(std::string_view line) {
    size_t open = line.find('(');
    if (open == std::string_view::npos)
        return 0;
    size_t i = open + 1;
    size_t digits = 0;
    int value = 0;
    while (i < line.size() && IsDigit(line[i])) {
        if (digits < 4)
            value = value * 10 + (line[i] - '0');
        ++digits;
        ++i;
    }
    if (digits == 0 || digits > 4)
        return 0;
    if (i < line.size() && line[i] != ',' && line[i] != ')')
        return 0;
    return value >= 1 && value <= kSlotCount ? value : 0;
}

std::vector<std::string_view> SplitFields(std::string_view args) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (true) {
        size_t comma = args.find(',', start);
        if (comma == std::string_view::npos) {
            fields.push_back(args.substr(start));
            return fields;
        }
        fields.push_back(args.substr(start, comma - start));
        start = comma + 1;
    }
}

// The slot field is always written as two digits.
bool IsSlotField(std::string_view field, int slot) {
    return field.size() == 2 && IsDigit(field[0]) && IsDigit(field[1]) &&
           (field[0] - '0') * 10 + (field[1] - '0') == slot;
}

struct VerbName {
    std::string_view name;
    WireVerb verb;
};

constexpr VerbName kVerbs[] = {
    {"*IDN?", WireVerb::Idn},   {"*TST?", WireVerb::Tst},   {"*RST", WireVerb::Rst},
    {"PHOTO", WireVerb::Photo}, {"CLOSE", WireVerb::Close}, {"OPEN", WireVerb::Open},
};

}  // namespace

bool ParseCanonicalNumber(std::string_view text, WireNumber* out) {
    bool negative = !text.empty() && text[0] == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty())
        return false;
    for (char c : digits) {
        if (!IsDigit(c))
            return false;
    }
    if (negative) {
        // "%02d" never pads after the sign, and zero prints as "00".
        if (digits[0] == '0')
            return false;
    } else {
        if (digits.size() < 2)
            return false;
        if (digits.size() > 2 && digits[0] == '0')
            return false;
    }
    WireNumber number;
    if (digits.size() > 18) {
        number.huge = true;
        number.value = negative ? -1 : 1;
    } else {
        long long value = 0;
        for (char c : digits)
            value = value * 10 + (c - '0');
        number.value = negative ? -value : value;
    }
    if (out != nullptr)
        *out = number;
    return true;
}

WireLine ParseWireLine(std::string_view line) {
    WireLine parsed;
    parsed.slot = AttributeSlot(line);
    if (parsed.slot == 0)
        return parsed;

    size_t open = line.find('(');
    std::string_view verbText = line.substr(0, open);
    const VerbName* verb = nullptr;
    for (const VerbName& candidate : kVerbs) {
        if (candidate.name == verbText)
            verb = &candidate;
    }
    if (verb == nullptr || line.back() != ')')
        return parsed;
    std::string_view args = line.substr(open + 1, line.size() - open - 2);
    if (args.find_first_of("()") != std::string_view::npos)
        return parsed;
    std::vector<std::string_view> fields = SplitFields(args);
    parsed.verb = verb->verb;

    bool relay = verb->verb == WireVerb::Close || verb->verb == WireVerb::Open;
    if (fields.size() != (relay ? 3u : 1u))
        return parsed;
    if (!IsSlotField(fields[0], parsed.slot))
        return parsed;
    if (relay) {
        if (!ParseCanonicalNumber(fields[1], &parsed.field2))
            return parsed;
        if (fields[2] == "hi") {
            parsed.select = LineSelect::Hi;
        } else if (fields[2] == "lo") {
            parsed.select = LineSelect::Lo;
        } else if (!ParseCanonicalNumber(fields[2], &parsed.field3)) {
            return parsed;
        }
    }
    parsed.wellFormed = true;
    return parsed;
}

std::vector<Word> SplitWords(std::string_view text) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        const size_t start = i;
        while (i < text.size() && text[i] != ' ' && text[i] != '\t')
            ++i;
        if (i > start)
            words.push_back({text.substr(start, i - start), i});
    }
    return words;
}

bool ParseUnsigned(std::string_view text, long long limit, long long* out) {
    if (text.empty() || text.size() > 12)
        return false;
    long long value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        return false;
    *out = value;
    return true;
}

bool ParseMs(std::string_view text, int* out) {
    long long value = 0;
    if (!ParseUnsigned(text, kMaxWaitMs, &value))
        return false;
    *out = static_cast<int>(value);
    return true;
}

std::string ToHex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0f]);
    }
    return hex;
}

bool FromHex(std::string_view hex, std::string* out) {
    auto nibble = [](char c) {
        const char* digits = "0123456789abcdef";
        const char* at = std::strchr(digits, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        return c != '\0' && at != nullptr ? static_cast<int>(at - digits) : -1;
    };
    if (hex.size() % 2 != 0)
        return false;
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]);
        const int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes.push_back(static_cast<char>(high << 4 | low));
    }
    *out = std::move(bytes);
    return true;
}

std::string Printable(std::string_view bytes) {
    std::string text = "\"";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        const char* named = c == '\n'   ? "\\n"
                            : c == '\r' ? "\\r"
                            : c == '\t' ? "\\t"
                            : c == '"'  ? "\\\""
                            : c == '\\' ? "\\\\"
                                        : nullptr;
        char escape[8];
        if (named == nullptr && (b < 0x20 || b >= 0x7f)) {
            std::snprintf(escape, sizeof escape, "\\x%02x", b);
            named = escape;
        }
        if (named != nullptr)
            text += named;
        else
            text.push_back(c);
    }
    return text + "\"";
}

}  // namespace halvex::sim
