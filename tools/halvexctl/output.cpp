#include "output.h"

#include <cstdio>

#include "console.h"
#include "core/vocabulary.h"
#include "halvex.h"
#include "parse.h"
#include "session.h"

namespace halvexctl {

namespace {

// The length of the well-formed UTF-8 sequence at s[i], or 0 when the byte there starts none.
size_t Utf8Length(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80             ? 1
               : (c & 0xe0) == 0xc0 ? 2
               : (c & 0xf0) == 0xe0 ? 3
               : (c & 0xf8) == 0xf0 ? 4
                                    : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    unsigned long cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (t & 0x3f);
    }
    const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;  // overlong forms and surrogates are not text
    return n;
}

// A JSON string: quotes, backslashes, CR and LF escaped, other control bytes and stray bytes
// as \u00XX.
void AppendQuoted(std::string& out, const std::string& s) {
    out += '"';
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        char esc[8];
        const size_t n = c >= 0x80 ? Utf8Length(s, i) : 1;
        if (c >= 0x80 && n > 0) {
            out.append(s, i, n);
            i += n - 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x80) {
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void AppendJson(std::string& out, const Json& value) {
    if (value.is_object()) {
        out += '{';
        bool first = true;
        for (const auto& item : value.items()) {
            out += first ? "" : ",";
            first = false;
            AppendQuoted(out, item.key());
            out += ':';
            AppendJson(out, item.value());
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        for (size_t i = 0; i < value.size(); ++i) {
            out += i ? "," : "";
            AppendJson(out, value[i]);
        }
        out += ']';
    } else if (value.is_string()) {
        AppendQuoted(out, value.get_ref<const std::string&>());
    } else {
        out += value.dump();  // numbers, true, false, null
    }
}

// The card and relay a command line names, as fields of its result.
void AddTarget(Json& out, const Target& t) {
    if (!t.hasCard)
        return;
    out["card"] = t.card;
    if (!t.relay.empty())
        out["relay"] = t.relay;
}

// Where the cards are, for a command that named an empty slot; which model the card is, for
// one that asked it for a relay or input it does not have.
std::string CardDetail(const Session& session, int32_t code, const Target& t) {
    if (code == 7) {
        std::string slots;
        for (int32_t slot : session.Slots())
            slots += (slots.empty() ? "" : ", ") + std::to_string(slot);
        return slots.empty() ? "discovery found no card" : "the cards are in slots " + slots;
    }
    if (code == 8 && t.hasCard) {
        const std::string model = session.ModelOf(static_cast<int32_t>(t.card));
        if (!model.empty()) {
            return "card " + std::to_string(t.card) + " is " + (model[0] == 'Y' ? "a " : "an ") +
                   model;
        }
    }
    return "";
}

}  // namespace

std::string JsonText(const Json& value) {
    std::string out;
    AppendJson(out, value);
    return out;
}

std::string Message(int32_t code) {
    char buffer[HALVEX_MESSAGE_MAX];
    GetHalvexErrorInfo(code, buffer, sizeof(buffer));
    return Cp949ToUtf8(buffer);
}

const char* English(int32_t code) {
    if (code == kNoCard)
        return "no card answered discovery";
    return halvex::EnglishOf(code);
}

namespace {

// The library's codes have its message; halvexctl's and the fixture layer's only English.
bool LibraryCode(int32_t code) {
    return code >= halvex::kSuccess && code <= halvex::kUnknownCode;
}

}  // namespace

std::string Visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char esc[8];
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(esc, sizeof(esc), "\\x%02x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

int Report(const Session& session, const Options& o, const std::string& what, int32_t code,
           const Json& jsonExtra, const std::string& textExtra, std::string detail) {
    // The library has no message of its own for a chassis where no card answered, nor for the
    // fixture layer's refusals.
    const std::string message = LibraryCode(code) ? Message(code) : English(code);
    const Target target = TargetOf(what);
    if (detail.empty())
        detail = CardDetail(session, code, target);
    if (o.json) {
        Json result;
        result["command"] = what;
        result["code"] = code;
        result["result"] = code;
        result["english"] = English(code);
        result["message"] = message;
        AddTarget(result, target);
        if (o.line > 0)
            result["line"] = o.line;
        for (const auto& item : jsonExtra.items())
            result[item.key()] = item.value();
        if (!detail.empty())
            result["detail"] = detail;
        std::printf("%s\n", JsonText(result).c_str());
    } else if (code == 0) {
        std::printf("%s: OK%s\n", what.c_str(), textExtra.c_str());
    } else {
        std::fflush(stdout);
        const std::string where =
            o.line > 0 ? "halvexctl: " + o.script + ":" + std::to_string(o.line) + ": " : "";
        const std::string korean = LibraryCode(code) ? " (" + message + ")" : "";
        std::fprintf(stderr, "%s%s: error %d: %s%s%s\n", where.c_str(), what.c_str(), code,
                     English(code), korean.c_str(), detail.empty() ? "" : (": " + detail).c_str());
    }
    std::fflush(stdout);
    return code;
}

int ReportUsage(bool json, const std::string& what, const UsageError& e, const std::string& where) {
    const std::string hint =
        e.command.empty() ? "halvexctl --help" : "halvexctl " + e.command + " --help";
    if (json) {
        // The shape of every result; there is no library message, so both texts are English.
        Json result;
        result["command"] = what;
        result["code"] = kUsageError;
        result["result"] = kUsageError;
        result["english"] = "usage error";
        result["message"] = "usage error";
        AddTarget(result, TargetOf(what));
        result["detail"] = where + e.message;
        result["hint"] = hint;
        std::printf("%s\n", JsonText(result).c_str());
        std::fflush(stdout);
    } else {
        std::fflush(stdout);
        std::fprintf(stderr, "halvexctl: %s%s (see '%s')\n", where.c_str(), e.message.c_str(),
                     hint.c_str());
    }
    return kUsageError;
}

}  // namespace halvexctl
