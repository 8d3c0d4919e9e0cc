// The control requests of the chassis, and the rows of those the process answers itself.
#include "chassis.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxQueuedScripts = 1000;
constexpr int kAny = -1;

const std::string kOkLine = "OK\n";

std::optional<unsigned char> ParseByte(std::string_view text) {
    long long value = 0;
    std::string byte;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string digits(text.substr(2));
        if (digits.size() == 1)
            digits.insert(0, "0");
        if (digits.size() != 2 || !FromHex(digits, &byte))
            return std::nullopt;
        return static_cast<unsigned char>(byte[0]);
    }
    if (!ParseUnsigned(text, 255, &value))
        return std::nullopt;
    return static_cast<unsigned char>(value);
}

bool ParseSigned(std::string_view text, long long* out) {
    const bool negative = !text.empty() && text[0] == '-';
    if (!ParseUnsigned(negative ? text.substr(1) : text, 999999999999LL, out))
        return false;
    *out = negative ? -*out : *out;
    return true;
}

std::optional<std::string> ParseEol(std::string_view text) {
    if (text == "lf")
        return std::string("\n");
    if (text == "crlf")
        return std::string("\r\n");
    if (text == "none")
        return std::string();
    return std::nullopt;
}

std::optional<Step> ParseStep(std::string_view step) {
    std::string bytes;
    int ms = 0;
    if (step.substr(0, 4) == "hex:" && step.size() > 4 && FromHex(step.substr(4), &bytes))
        return Step::Send(std::move(bytes));
    if (step.substr(0, 5) == "wait:" && ParseMs(step.substr(5), &ms))
        return Step::Pause(ms);
    return std::nullopt;
}

}  // namespace

RequestTable Chassis::MakeRequests() {
    auto slot = [this](const RequestArgs& a) -> Slot& { return At(a.slot); };
    auto ok = [](auto&& action) {
        return [action](const RequestArgs& a) {
            action(a);
            return kOkLine;
        };
    };
    std::vector<Request> rows = {
        {"ping", "", nullptr, "answers OK", 0, 0, false, false,
         [](const RequestArgs&) { return kOkLine; }},
        {"help", "", nullptr, "this list", 0, 0, false, false,
         [this](const RequestArgs&) { return Listing(requests_.HelpLines()); }},
        {"state", "", nullptr,
         "every slot: model, id text, status byte, operations,\n"
         "ranges and settings unlike a new card's, closed relays",
         0, 0, false, false,
         [this](const RequestArgs&) {
             std::vector<std::string> lines;
             for (int n = 1; n <= kSlotCount; ++n)
                 lines.push_back(SlotState(n));
             return Listing(lines);
         }},
        {"relays", "SLOT", nullptr, "closed relays of a card and its operation count", 1, 1, true,
         false, [this](const RequestArgs& a) { return CardReport(a, false); }},
        {"ops", "SLOT", nullptr, "operations of each relay of a card, and its state", 1, 1, true,
         false, [this](const RequestArgs& a) { return CardReport(a, true); }},
        {"log", "", nullptr, "every line received so far: PORT HEX", 0, 0, false, false,
         [this](const RequestArgs&) { return LogRequest(); }},
        {"clearlog", "", nullptr, "empties the log", 0, 0, false, false,
         ok([this](const RequestArgs&) { log_.clear(); })},
        {"reset", "", nullptr,
         "empties every slot, clears settings, faults, log and\nreplies; vanished ports come back",
         0, 0, false, false, ok([this](const RequestArgs&) { Reset(); })},
        {"restore", "", nullptr, "reset, then the start-up chassis again (file, options)", 0, 0,
         false, false, ok([this](const RequestArgs&) {
             Reset();
             for (const std::string& setup : baseline_)
                 Control(setup);
         })},
        {"card", "SLOT MODEL [IDTEXT]", nullptr, "plugs an X16, X48 or Y48 card", 2, kAny, true,
         true, [this](const RequestArgs& a) { return CardRequest(a); }},
        {"remove", "SLOT", nullptr, "empties a slot", 1, 1, true, true,
         ok([slot](const RequestArgs& a) { slot(a).card.reset(); })},
        {"range", "SLOT KIND MIN MAX", "range SLOT rows|cols|gp|extgp|ps|discharge MIN MAX",
         "relay numbers a group accepts; KIND is rows, cols, gp,\nextgp, ps or discharge", 4, 4,
         true, true, [this](const RequestArgs& a) { return RangeRequest(a); }},
        {"delay", "SLOT MS", "delay SLOT MS (0-3600000)", "delays every reply of the slot", 2, 2,
         true, true,
         [slot](const RequestArgs& a) {
             return ParseMs(a[2], &slot(a).delayMs) ? kOkLine : std::string();
         }},
        {"silent", "SLOT 0|1", nullptr, "a card that never answers", 2, 2, true, true,
         [slot](const RequestArgs& a) {
             if (a[2] != "0" && a[2] != "1")
                 return std::string();
             slot(a).silent = a[2] == "1";
             return kOkLine;
         }},
        {"status", "SLOT BYTE", "status SLOT BYTE (0-255 or 0xNN)",
         "the signal inputs PHOTO reports (0-255 or 0xNN)", 2, 2, true, true,
         [slot](const RequestArgs& a) {
             std::optional<unsigned char> value = ParseByte(a[2]);
             if (value)
                 slot(a).status = *value;
             return value ? kOkLine : std::string();
         }},
        {"eol", "SLOT lf|crlf|none [errors]", nullptr,
         "line end of every reply, or of error replies only", 2, 3, true, true,
         [this](const RequestArgs& a) { return EolRequest(a); }},
        {"idn", "SLOT HEX|-", nullptr, "raw *IDN? reply, even for an empty slot; - undoes it", 2, 2,
         true, true, [this](const RequestArgs& a) { return RawReplyRequest(a); }},
        {"photo", "SLOT HEX|-", nullptr, "raw PHOTO reply; - undoes it", 2, 2, true, true,
         [this](const RequestArgs& a) { return RawReplyRequest(a); }},
        {"next", "SLOT STEP...", "next SLOT STEP... (hex:HEX wait:MS none)",
         "script for the slot's next reply: hex:HEX wait:MS none", 2, kAny, true, true,
         [this](const RequestArgs& a) { return NextRequest(a); }},
        {"fault", "SLOT MODE [ARG...]", kFaultUsage,
         "the slot's next command-port reply misbehaves; with\n"
         "persist last, every reply until fault SLOT off:\n"
         "flood (64 KiB, no line end), garbage N [SEED] (random\n"
         "bytes), nul [POS] (a NUL inserted), cr (line feeds become\n"
         "carriage returns), trickle MS (a byte every MS ms),\n"
         "split POS [MS] (a pause at POS, default 20), late MS;\n"
         "silent-after N answers N commands, then stays silent\n"
         "until fault SLOT off. A next script goes first. Flood\n"
         "and garbage bytes the port cannot hold are lost",
         1, kAny, true, false,
         [slot](const RequestArgs& a) {
             std::vector<std::string_view> words;
             for (size_t i = 2; i <= a.count(); ++i)
                 words.push_back(a[i]);
             std::optional<Fault> fault = Fault::Parse(words);
             if (fault)
                 slot(a).fault = *fault;
             return fault ? kOkLine : std::string();
         }},
        // Answered by the process, which owns the ports: it binds these.
        {"ports",
         "",
         nullptr,
         "the port paths: command, then monitoring ports 1-16",
         0,
         0,
         false,
         false,
         {}},
        {"vanish",
         "cmd|monNN [after-line]",
         nullptr,
         "closes the port's pty now, or once it has received\nits next line; its link stays",
         1,
         2,
         false,
         false,
         {}},
        {"replug",
         "cmd|monNN",
         nullptr,
         "a fresh pty for a vanished port, its link pointed at\nit; answers OK and the new path",
         1,
         1,
         false,
         false,
         {}},
        {"shutdown", "", nullptr, "stops the simulator", 0, 0, false, false, {}},
    };
    return RequestTable(std::move(rows), 32, "unknown request");
}

std::string Chassis::LogRequest() {
    std::vector<LogEntry> entries = LogSnapshot();
    std::string reply = "OK " + std::to_string(entries.size()) + "\n";
    for (const LogEntry& e : entries)
        reply += PortName(e.port) + " " + ToHex(e.bytes) + "\n";
    return reply;
}

std::string Chassis::CardReport(const RequestArgs& args, bool perRelay) {
    const std::optional<Card>& card = At(args.slot).card;
    if (!card)
        return Err("no card in slot");
    return perRelay ? Listing(card->OpsLines()) : "OK " + card->Describe() + "\n";
}

std::string Chassis::CardRequest(const RequestArgs& args) {
    std::optional<Model> model = ParseModel(args[2]);
    if (!model)
        return Err("bad model (X16, X48, Y48)");
    // The identification is everything after the single blank that follows the model.
    At(args.slot).card = Card::Make(*model, std::string(args.RestAfter(2)));
    return kOkLine;
}

std::string Chassis::RawReplyRequest(const RequestArgs& args) {
    Slot& slot = At(args.slot);
    std::optional<std::string>& target = args[0] == "idn" ? slot.rawIdn : slot.rawPhoto;
    std::string bytes;
    if (args[2] == "-") {
        target.reset();
    } else if (FromHex(args[2], &bytes)) {
        target = std::move(bytes);
    } else {
        return Err("bad hex");
    }
    return kOkLine;
}

std::string Chassis::NextRequest(const RequestArgs& args) {
    Slot& slot = At(args.slot);
    if (slot.next.size() >= kMaxQueuedScripts)
        return Err("too many queued scripts");
    Script script;
    for (size_t i = 2; i <= args.count(); ++i) {
        if (args[i] == "none")
            continue;
        std::optional<Step> step = ParseStep(args[i]);
        if (!step)
            return Err("bad step " + std::string(args[i]));
        script.push_back(std::move(*step));
    }
    slot.next.push_back(std::move(script));
    return kOkLine;
}

std::string Chassis::EolRequest(const RequestArgs& args) {
    Slot& slot = At(args.slot);
    std::optional<std::string> eol = ParseEol(args[2]);
    const bool errorsOnly = args.count() == 3;
    if (!eol || (errorsOnly && args[3] != "errors"))
        return {};
    if (!errorsOnly)
        slot.eol = *eol;
    slot.errorEol = *eol;
    return kOkLine;
}

std::string Chassis::RangeRequest(const RequestArgs& args) {
    std::optional<Card>& card = At(args.slot).card;
    if (!card)
        return Err("no card in slot");
    long long min = 0;
    long long max = 0;
    if (!ParseSigned(args[3], &min) || !ParseSigned(args[4], &max) || min > max)
        return Err("bad range");
    std::optional<RangeKind> kind = ParseRangeKind(args[2]);
    if (!kind)
        return Err("bad range kind");
    card->range(*kind) = {min, max};
    return kOkLine;
}

}  // namespace halvex::sim
