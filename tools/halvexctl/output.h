// Results as text for a terminal or one JSON object per line: "WHAT: OK" on standard output,
// "WHAT: error N: english (message)" on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "invocation.h"

namespace halvexctl {

class Session;

// JSON objects keep their keys in the order they are added: the order of the output.
using Json = nlohmann::ordered_json;

// `value` in one line of JSON text. Strings keep well-formed UTF-8 as it is and write each byte
// that is not part of it (a card's own bytes) as \u00XX, the code point of the same number;
// nlohmann's own dump can only drop or replace such a byte.
std::string JsonText(const Json& value);

// The library's message for `code`, in UTF-8.
std::string Message(int32_t code);
// The English name of a result code.
const char* English(int32_t code);
// A card's text for a terminal: line ends and control bytes made visible.
std::string Visible(const std::string& s);
std::string Joined(const std::vector<std::string>& words);

// Prints one result and returns `code`. `jsonExtra`'s fields follow the common ones in the JSON
// object, `textExtra` follows "OK" on a terminal. A failure's `detail` says why or what to check
// (by default, where the cards are or which model one is, asked of the session); a script's line
// is named in both forms.
int Report(const Session& session, const Options& o, const std::string& what, int32_t code,
           const Json& jsonExtra = Json::object(), const std::string& textExtra = "",
           std::string detail = "");

// One line naming the problem and where help is; with --json, an object like every result.
int ReportUsage(bool json, const std::string& what, const UsageError& e,
                const std::string& where = "");

}  // namespace halvexctl
