// The control requests of the chassis, and the rows of those the process answers itself.
#include "chassis.h"

namespace halvex::sim {

namespace {

constexpr size_t kMaxQueuedScripts = 1000;

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

// The requests about the whole chassis.
std::vector<Request> Chassis::ChassisRequests() {
    auto ok = [](auto action) {
        return [action](const RequestArgs& a) {
            action(a);
            return kOkLine;
        };
    };
    return {
        {"ping", "", "answers OK", 0, 0, 0, [](const RequestArgs&) { return kOkLine; }},
        {"help", "", "this list", 0, 0, 0,
         [this](const RequestArgs&) { return Listing(requests_.HelpLines()); }},
        {"state", "",
         "every slot: model, id text, status byte, operations,\n"
         "ranges and settings unlike a new card's, closed relays",
         0, 0, 0, [this](const RequestArgs&) { return StateRequest(); }},
        {"relays", "SLOT", "closed relays of a card and its operation count", 1, 1, kSlotFirst,
         [this](const RequestArgs& a) { return CardReport(a, false); }},
        {"ops", "SLOT", "operations of each relay of a card, and its state", 1, 1, kSlotFirst,
         [this](const RequestArgs& a) { return CardReport(a, true); }},
        {"log", "", "every line received so far: PORT HEX", 0, 0, 0,
         [this](const RequestArgs&) { return LogRequest(); }},
        {"clearlog", "", "empties the log", 0, 0, 0,
         ok([this](const RequestArgs&) { log_.clear(); })},
        {"reset", "",
         "empties every slot, clears settings, faults, log and\nreplies; vanished ports come back",
         0, 0, 0, ok([this](const RequestArgs&) { Reset(); })},
        {"adapter", "MS|off [event-char]",
         "a USB serial adapter holds every port's replies until MS\n"
         "after their first byte or 62 bytes; with event-char (the\n"
         "host set the line feed as its event character) a line\n"
         "feed sends them at once. Without arguments: the setting",
         0, 2, kSetup, [this](const RequestArgs& a) { return AdapterRequest(a); },
         "adapter MS|off [event-char] (MS 1-255)"},
        {"restore", "", "reset, then the start-up chassis again (file, options)", 0, 0, 0,
         ok([this](const RequestArgs&) {
             Reset();
             for (const std::string& setup : baseline_)
                 Control(setup);
         })},
    };
}

// The requests that set one slot up.
std::vector<Request> Chassis::SlotRequests() {
    const unsigned setup = kSlotFirst | kSetup;
    auto on = [this](std::string (Chassis::*handler)(Slot&, const RequestArgs&)) {
        return [this, handler](const RequestArgs& a) { return (this->*handler)(At(a.slot), a); };
    };
    return {
        {"card", "SLOT MODEL [IDTEXT]", "plugs an X16, X48 or Y48 card", 2, kAnyCount, setup,
         on(&Chassis::CardRequest)},
        {"remove", "SLOT", "empties a slot", 1, 1, setup, on(&Chassis::RemoveRequest)},
        {"range", "SLOT KIND MIN MAX",
         "relay numbers a group accepts; KIND is rows, cols, gp,\next-gp, ps or discharge", 4, 4,
         setup, on(&Chassis::RangeRequest), "range SLOT rows|cols|gp|ext-gp|ps|discharge MIN MAX"},
        {"delay", "SLOT MS", "delays every reply of the slot", 2, 2, setup,
         on(&Chassis::DelayRequest), "delay SLOT MS (0-3600000)"},
        {"silent", "SLOT 0|1", "a card that never answers", 2, 2, setup,
         on(&Chassis::SilentRequest)},
        {"status", "SLOT BYTE", "the signal inputs PHOTO reports (0-255 or 0xNN)", 2, 2, setup,
         on(&Chassis::StatusRequest), "status SLOT BYTE (0-255 or 0xNN)"},
        {"eol", "SLOT lf|crlf|none [errors]", "line end of every reply, or of error replies only",
         2, 3, setup, on(&Chassis::EolRequest)},
        {"idn", "SLOT HEX|-", "raw *IDN? reply, even for an empty slot; - undoes it", 2, 2, setup,
         on(&Chassis::RawReplyRequest)},
        {"photo", "SLOT HEX|-", "raw PHOTO reply; - undoes it", 2, 2, setup,
         on(&Chassis::RawReplyRequest)},
        {"next", "SLOT STEP...", "script for the slot's next reply: hex:HEX wait:MS none", 2,
         kAnyCount, setup, on(&Chassis::NextRequest), "next SLOT STEP... (hex:HEX wait:MS none)"},
        {"fault", "SLOT MODE [ARG...]",
         "the slot's next command-port reply misbehaves; with\n"
         "persist last, every reply until fault SLOT off:\n"
         "flood (64 KiB, no line end), garbage N [SEED] (random\n"
         "bytes), nul [POS] (a NUL inserted), cr (line feeds become\n"
         "carriage returns), trickle MS (a byte every MS ms),\n"
         "split POS [MS] (a pause at POS, default 20), late MS;\n"
         "silent-after N answers N commands, then stays silent\n"
         "until fault SLOT off. A next script goes first. Flood\n"
         "and garbage bytes the port cannot hold are lost",
         1, kAnyCount, kSlotFirst, on(&Chassis::FaultRequest), kFaultUsage},
    };
}

RequestTable Chassis::MakeRequests() {
    std::vector<Request> rows = ChassisRequests();
    for (Request& row : SlotRequests())
        rows.push_back(std::move(row));
    // Answered by the process, which owns the ports: it binds these.
    rows.push_back(Unbound("ports", "", "the port paths: command, then monitoring ports 1-16"));
    rows.push_back(Unbound("vanish", "cmd|monNN [after-line]",
                           "closes the port's pty now, or once it has received\n"
                           "its next line; its link goes with it",
                           1, 2));
    rows.push_back(Unbound("replug", "cmd|monNN",
                           "a fresh pty for a vanished port, its link pointed at\n"
                           "it; answers OK and the new path",
                           1, 1));
    rows.push_back(Unbound("shutdown", "", "stops the simulator"));
    return RequestTable(std::move(rows), 32, "unknown request");
}

std::string Chassis::StateRequest() {
    std::vector<std::string> lines;
    for (int n = 1; n <= kSlotCount; ++n)
        lines.push_back(SlotState(n));
    return Listing(lines);
}

std::string Chassis::RemoveRequest(Slot& slot, const RequestArgs&) {
    slot.card.reset();
    return kOkLine;
}

std::string Chassis::DelayRequest(Slot& slot, const RequestArgs& args) {
    return ParseMs(args[2], &slot.delayMs) ? kOkLine : std::string();
}

std::string Chassis::SilentRequest(Slot& slot, const RequestArgs& args) {
    if (args[2] != "0" && args[2] != "1")
        return {};
    slot.silent = args[2] == "1";
    return kOkLine;
}

std::string Chassis::StatusRequest(Slot& slot, const RequestArgs& args) {
    std::optional<unsigned char> value = ParseByte(args[2]);
    if (value)
        slot.status = *value;
    return value ? kOkLine : std::string();
}

std::string Chassis::FaultRequest(Slot& slot, const RequestArgs& args) {
    std::vector<std::string_view> words;
    for (size_t i = 2; i <= args.count(); ++i)
        words.push_back(args[i]);
    std::optional<Fault> fault = Fault::Parse(words);
    if (fault)
        slot.fault = *fault;
    return fault ? kOkLine : std::string();
}

std::string Chassis::AdapterRequest(const RequestArgs& args) {
    if (args.count() == 0) {
        const std::string text = adapter_.Text();
        return "OK " + (text.empty() ? std::string("off") : text) + "\n";
    }
    long long ms = 0;
    const bool off = args[1] == "off";
    // An FTDI latency timer is 1 to 255 ms.
    if (!off && (!ParseUnsigned(args[1], 255, &ms) || ms == 0))
        return {};
    if (args.count() == 2 && (off || args[2] != "event-char"))
        return {};
    adapter_.Set(off ? 0 : static_cast<int>(ms), args.count() == 2);
    return kOkLine;
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

std::string Chassis::CardRequest(Slot& slot, const RequestArgs& args) {
    std::optional<Model> model = ParseModel(args[2]);
    if (!model)
        return Err("bad model (X16, X48, Y48)");
    // The identification is everything after the single blank that follows the model.
    slot.card = Card::Make(*model, std::string(args.RestAfter(2)));
    return kOkLine;
}

std::string Chassis::RawReplyRequest(Slot& slot, const RequestArgs& args) {
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

std::string Chassis::NextRequest(Slot& slot, const RequestArgs& args) {
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

std::string Chassis::EolRequest(Slot& slot, const RequestArgs& args) {
    std::optional<std::string> eol = ParseEol(args[2]);
    const bool errorsOnly = args.count() == 3;
    if (!eol || (errorsOnly && args[3] != "errors"))
        return {};
    if (!errorsOnly)
        slot.eol = *eol;
    slot.errorEol = *eol;
    return kOkLine;
}

std::string Chassis::RangeRequest(Slot& slot, const RequestArgs& args) {
    std::optional<Card>& card = slot.card;
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
