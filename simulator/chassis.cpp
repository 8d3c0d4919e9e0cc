#include "chassis.h"

#include <algorithm>
#include <cstdio>

namespace halvex::sim {

namespace {

constexpr size_t kMaxLogEntries = 100000;
constexpr size_t kMaxQueuedScripts = 1000;
constexpr int kMaxWaitMs = 3600000;

const char kOk[] = "OK";
const char kPass[] = "PASS";
const char kCmdError[] = "CMD Error";
const char kFormatError[] = "Format Error";
const char kRangeError[] = "Parameter Range Error";

bool HasMatrix(Model m) {
    return m == Model::X16 || m == Model::X48;
}

// Group codes carried in the second field of a relay command.
enum Group { kGp = 10, kExtGp = 20, kPs = 30, kDischarge = 40, kSingle = 50 };

bool IsGroupCode(const WireNumber& n) {
    return !n.huge && (n.value == kGp || n.value == kExtGp || n.value == kPs ||
                       n.value == kDischarge || n.value == kSingle);
}

bool HasGroup(Model m, long long group) {
    switch (group) {
        case kGp:
        case kExtGp:
            return m == Model::X16 || m == Model::Y48;
        case kPs:
        case kDischarge:
            return m == Model::X16;
        case kSingle:
            return m == Model::X16 || m == Model::X48;
        default:
            return false;
    }
}

struct Token {
    std::string_view text;
    size_t end = 0;  // offset just past the token in the request
};

std::vector<Token> Tokenize(std::string_view line) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        if (i > start)
            tokens.push_back({line.substr(start, i - start), i});
    }
    return tokens;
}

bool ParseUnsigned(std::string_view text, long long limit, long long* out) {
    if (text.empty() || text.size() > 12)
        return false;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > limit)
        return false;
    *out = value;
    return true;
}

bool ParseSigned(std::string_view text, long long* out) {
    bool negative = !text.empty() && text[0] == '-';
    long long magnitude = 0;
    if (!ParseUnsigned(negative ? text.substr(1) : text, 999999999999LL, &magnitude))
        return false;
    *out = negative ? -magnitude : magnitude;
    return true;
}

std::optional<int> ParseSlotArg(std::string_view text) {
    long long value = 0;
    if (!ParseUnsigned(text, kSlotCount, &value) || value < 1)
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> ParseMsArg(std::string_view text) {
    long long value = 0;
    if (!ParseUnsigned(text, kMaxWaitMs, &value))
        return std::nullopt;
    return static_cast<int>(value);
}

std::optional<unsigned char> ParseByteArg(std::string_view text) {
    long long value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::string byte;
        std::string_view digits = text.substr(2);
        if (digits.size() == 1) {
            if (!FromHex(std::string("0") + std::string(digits), &byte))
                return std::nullopt;
        } else if (digits.size() != 2 || !FromHex(digits, &byte)) {
            return std::nullopt;
        }
        return static_cast<unsigned char>(byte[0]);
    }
    if (!ParseUnsigned(text, 255, &value))
        return std::nullopt;
    return static_cast<unsigned char>(value);
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

std::string Err(const std::string& reason) {
    return "ERR " + reason + "\n";
}

// A multi-line reply: "OK <count>", then the lines.
std::string Listing(const std::vector<std::string>& lines) {
    std::string reply = "OK " + std::to_string(lines.size()) + "\n";
    for (const std::string& line : lines)
        reply += line + "\n";
    return reply;
}

const char* EolName(const std::string& eol) {
    return eol == "\n" ? "lf" : eol == "\r\n" ? "crlf" : "none";
}

constexpr long long kMaxGarbage = 64 * 1024;
constexpr long long kMaxPosition = 64 * 1024;
constexpr int kDefaultSplitPauseMs = 20;

const char kFaultUsage[] =
    "usage: fault SLOT off|flood|garbage N [SEED]|nul [POS]|cr|trickle MS|split POS [MS]|"
    "late MS [persist], or fault SLOT silent-after N";

// The fault as "state" shows it: "late:90", "garbage:16:seed=7:persist", "silent-after:left=2".
std::string FaultText(const Fault& f) {
    std::string text;
    switch (f.mode) {
        case Fault::Mode::None:
            return "off";
        case Fault::Mode::Flood:
            text = "flood";
            break;
        case Fault::Mode::Garbage:
            text = "garbage:" + std::to_string(f.count) + ":seed=" + std::to_string(f.seed);
            break;
        case Fault::Mode::Nul:
            text = "nul:" + std::to_string(f.count);
            break;
        case Fault::Mode::Cr:
            text = "cr";
            break;
        case Fault::Mode::Trickle:
            text = "trickle:" + std::to_string(f.ms);
            break;
        case Fault::Mode::Split:
            text = "split:" + std::to_string(f.count) + ":" + std::to_string(f.ms);
            break;
        case Fault::Mode::Late:
            text = "late:" + std::to_string(f.ms);
            break;
        case Fault::Mode::SilentAfter:
            return "silent-after:left=" + std::to_string(f.count);
    }
    return f.persist ? text + ":persist" : text;
}

}  // namespace

std::string FloodBytes() {
    std::string bytes(kFloodSize, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('A' + i % 26);
    return bytes;
}

std::optional<Model> ParseModel(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (upper == "X16")
        return Model::X16;
    if (upper == "X48")
        return Model::X48;
    if (upper == "Y48")
        return Model::Y48;
    return std::nullopt;
}

const char* ModelName(Model model) {
    switch (model) {
        case Model::X16:
            return "X16";
        case Model::X48:
            return "X48";
        case Model::Y48:
            return "Y48";
    }
    return "?";
}

std::string PortName(int port) {
    if (port == kCommandPort)
        return "cmd";
    char name[16];
    std::snprintf(name, sizeof name, "mon%02d", port);
    return name;
}

Card Card::Make(Model model, std::string idText) {
    Card card;
    card.model = model;
    card.idText = idText.empty() ? std::string("HALVEX ") + ModelName(model) + " SIMULATED CARD"
                                 : std::move(idText);
    long long size = model == Model::X48 ? 48 : 16;
    card.rows = {1, size};
    card.columns = {1, size};
    card.gp = card.extGp = card.ps = card.discharge = {1, 32};
    return card;
}

void Card::OpenAll() {
    matrix.clear();
    rowLines.clear();
    gpClosed.clear();
    extGpClosed.clear();
    psClosed.clear();
    dischargeClosed.clear();
    singles.clear();
}

std::string RelayKey::Name() const {
    static const char* const kKinds[] = {"matrix", "row",       "gp",    "extgp",
                                         "ps",     "discharge", "single"};
    std::string name = std::string(kKinds[kind]) + ":" + std::to_string(a);
    if (kind == Matrix)
        name += ":" + std::to_string(b);
    if (kind == Row)
        name += b != 0 ? ":lo" : ":hi";
    return name;
}

bool Card::IsClosed(const RelayKey& relay) const {
    switch (relay.kind) {
        case RelayKey::Matrix:
            return matrix.count({relay.a, relay.b}) != 0;
        case RelayKey::Row:
            return rowLines.count({relay.a, relay.b != 0}) != 0;
        case RelayKey::Gp:
            return gpClosed.count(relay.a) != 0;
        case RelayKey::ExtGp:
            return extGpClosed.count(relay.a) != 0;
        case RelayKey::Ps:
            return psClosed.count(relay.a) != 0;
        case RelayKey::Discharge:
            return dischargeClosed.count(relay.a) != 0;
        case RelayKey::Single:
            return singles.count(relay.a) != 0;
    }
    return false;
}

std::vector<std::string> Card::ClosedRelays() const {
    std::vector<std::string> names;
    for (const auto& [row, column] : matrix)
        names.push_back(RelayKey{RelayKey::Matrix, row, column}.Name());
    for (const auto& [row, lo] : rowLines)
        names.push_back(RelayKey{RelayKey::Row, row, lo ? 1 : 0}.Name());
    const std::pair<RelayKey::Kind, const std::set<long long>*> groups[] = {
        {RelayKey::Gp, &gpClosed},    {RelayKey::ExtGp, &extGpClosed},
        {RelayKey::Ps, &psClosed},    {RelayKey::Discharge, &dischargeClosed},
        {RelayKey::Single, &singles},
    };
    for (const auto& [kind, closed] : groups) {
        for (long long n : *closed)
            names.push_back(RelayKey{kind, n, 0}.Name());
    }
    return names;
}

std::string Card::Describe() const {
    std::string text;
    for (const std::string& name : ClosedRelays())
        text += name + " ";
    return text + "ops:" + std::to_string(ops);
}

Chassis::Chassis() = default;

void Chassis::PlugCard(int slot, Model model, std::string idText) {
    At(slot).card = Card::Make(model, std::move(idText));
}

void Chassis::RemoveCard(int slot) {
    At(slot).card.reset();
}

void Chassis::SetDelay(int slot, int ms) {
    At(slot).delayMs = ms;
}

void Chassis::SetSilent(int slot, bool silent) {
    At(slot).silent = silent;
}

void Chassis::Reset() {
    for (Slot& slot : slots_)
        slot = Slot{};
    for (LineSplitter& splitter : splitters_)
        splitter.Clear();
    log_.clear();
    replies_.Clear();
}

const Card* Chassis::CardAt(int slot) const {
    if (slot < 1 || slot > kSlotCount || !At(slot).card)
        return nullptr;
    return &*At(slot).card;
}

void Chassis::Trace(const std::string& text) const {
    if (trace_)
        trace_(text);
}

void Chassis::AppendLog(int port, std::string bytes) {
    if (log_.size() >= kMaxLogEntries)
        log_.pop_front();
    log_.push_back({port, std::move(bytes)});
}

void Chassis::Receive(int port, std::string_view bytes, TimePoint now) {
    if (port < 0 || port >= kPortCount)
        return;
    for (LineSplitter::Chunk& chunk : splitters_[port].Feed(bytes, now)) {
        std::string line = std::move(chunk.bytes);
        AppendLog(port, line);
        if (chunk.complete) {
            Trace(PortName(port) + " <- " + Printable(line));
            HandleLine(port, line, now);
        } else {
            Trace(PortName(port) + " <- overlong line dropped: " + Printable(line));
        }
    }
}

std::vector<Output> Chassis::Advance(TimePoint now) {
    for (int port = 0; port < kPortCount; ++port) {
        if (std::optional<std::string> partial = splitters_[port].Expire(now, lineTimeout_)) {
            Trace(PortName(port) + " <- idle partial line dropped: " + Printable(*partial));
            AppendLog(port, std::move(*partial));
        }
    }
    std::vector<Output> out = replies_.Advance(now);
    for (const Output& o : out)
        Trace(PortName(o.port) + " -> " + Printable(o.bytes));
    return out;
}

std::optional<TimePoint> Chassis::NextDeadline() const {
    std::optional<TimePoint> next = replies_.NextDeadline();
    for (const LineSplitter& splitter : splitters_) {
        std::optional<TimePoint> due = splitter.Deadline(lineTimeout_);
        if (due && (!next || *due < *next))
            next = due;
    }
    return next;
}

std::vector<LogEntry> Chassis::LogSnapshot() const {
    std::vector<LogEntry> entries(log_.begin(), log_.end());
    for (int port = 0; port < kPortCount; ++port) {
        if (!splitters_[port].Pending().empty()) {
            entries.push_back({port, splitters_[port].Pending()});
        }
    }
    return entries;
}

void Chassis::HandleLine(int port, const std::string& line, TimePoint now) {
    WireLine parsed = ParseWireLine(std::string_view(line).substr(0, line.size() - 1));
    if (parsed.slot == 0)
        return;
    if (port == kCommandPort) {
        Slot& slot = At(parsed.slot);
        if (!slot.next.empty()) {
            // A test script replaces whatever the card would have said, silence included.
            Script script = std::move(slot.next.front());
            slot.next.pop_front();
            Schedule(parsed.slot - 1, port, slot, std::move(script), now);
            return;
        }
        std::optional<std::string> reply = CommandReply(slot, parsed);
        if (slot.fault.mode != Fault::Mode::None) {
            Trace(PortName(port) + " fault " + FaultText(slot.fault) + " on slot " +
                  std::to_string(parsed.slot));
            if (slot.silent)
                reply.reset();
            Script script = FaultScript(slot, std::move(reply));
            if (!script.empty())
                Schedule(parsed.slot - 1, port, slot, std::move(script), now);
            return;
        }
        if (reply && !slot.silent) {
            Schedule(parsed.slot - 1, port, slot, {Step::Send(std::move(*reply))}, now);
        }
        return;
    }
    // A monitoring port belongs to one slot and ignores lines addressed to any other.
    if (parsed.slot != port)
        return;
    const Slot& slot = At(port);
    std::optional<std::string> reply = MonitorReply(slot, parsed);
    if (reply && !slot.silent) {
        Schedule(kSlotCount + port - 1, port, slot, {Step::Send(std::move(*reply))}, now);
    }
}

Script Chassis::FaultScript(Slot& slot, std::optional<std::string> reply) {
    Fault& f = slot.fault;
    Script script;
    switch (f.mode) {
        case Fault::Mode::None:
            break;
        case Fault::Mode::Flood:
            // Offered at once: a card that floods does not wait for the host to read.
            script.push_back(Step::Offer(FloodBytes()));
            break;
        case Fault::Mode::Garbage: {
            std::string bytes(static_cast<size_t>(f.count), '\0');
            for (char& c : bytes)
                c = static_cast<char>(f.random() & 0xFF);
            script.push_back(Step::Offer(std::move(bytes)));
            break;
        }
        case Fault::Mode::Nul:
            if (reply) {
                reply->insert(std::min<size_t>(static_cast<size_t>(f.count), reply->size()), 1,
                              '\0');
                script.push_back(Step::Send(std::move(*reply)));
            }
            break;
        case Fault::Mode::Cr:
            if (reply) {
                for (char& c : *reply) {
                    if (c == '\n')
                        c = '\r';
                }
                script.push_back(Step::Send(std::move(*reply)));
            }
            break;
        case Fault::Mode::Trickle:
            for (size_t i = 0; reply && i < reply->size(); ++i) {
                if (i > 0)
                    script.push_back(Step::Pause(f.ms));
                script.push_back(Step::Send(reply->substr(i, 1)));
            }
            break;
        case Fault::Mode::Split:
            if (reply) {
                const size_t at = static_cast<size_t>(f.count);
                if (at < reply->size()) {
                    script.push_back(Step::Send(reply->substr(0, at)));
                    script.push_back(Step::Pause(f.ms));
                    script.push_back(Step::Send(reply->substr(at)));
                } else {
                    script.push_back(Step::Send(std::move(*reply)));
                }
            }
            break;
        case Fault::Mode::Late:
            if (reply) {
                script.push_back(Step::Pause(f.ms));
                script.push_back(Step::Send(std::move(*reply)));
            }
            break;
        case Fault::Mode::SilentAfter:
            if (f.count > 0) {
                --f.count;
                if (reply)
                    script.push_back(Step::Send(std::move(*reply)));
            }
            return script;  // stays until "fault SLOT off"
    }
    if (!f.persist)
        f = Fault{};
    return script;
}

std::string Chassis::FaultRequest(Slot& slot, const std::vector<std::string_view>& args) {
    // args: the mode and its arguments, "persist" last if given.
    std::vector<std::string_view> a = args;
    Fault f;
    if (!a.empty() && a.back() == "persist") {
        f.persist = true;
        a.pop_back();
    }
    if (a.empty())
        return Err(kFaultUsage);
    const std::string_view mode = a[0];
    const size_t n = a.size() - 1;  // arguments after the mode
    long long value = 0;
    std::optional<int> ms;
    bool ok = false;
    if (mode == "off") {
        ok = n == 0 && !f.persist;
    } else if (mode == "flood") {
        f.mode = Fault::Mode::Flood;
        ok = n == 0;
    } else if (mode == "garbage") {
        f.mode = Fault::Mode::Garbage;
        long long seed = 1;
        ok = (n == 1 || n == 2) && ParseUnsigned(a[1], kMaxGarbage, &f.count) && f.count > 0 &&
             (n == 1 || ParseUnsigned(a[2], 4294967295LL, &seed));
        f.seed = static_cast<unsigned long>(seed);
        f.random.seed(static_cast<std::mt19937::result_type>(seed));
    } else if (mode == "nul") {
        f.mode = Fault::Mode::Nul;
        ok = n == 0 || (n == 1 && ParseUnsigned(a[1], kMaxPosition, &f.count));
    } else if (mode == "cr") {
        f.mode = Fault::Mode::Cr;
        ok = n == 0;
    } else if (mode == "trickle" || mode == "late") {
        f.mode = mode == "late" ? Fault::Mode::Late : Fault::Mode::Trickle;
        ms = n == 1 ? ParseMsArg(a[1]) : std::nullopt;
        ok = ms.has_value();
        f.ms = ms.value_or(0);
    } else if (mode == "split") {
        f.mode = Fault::Mode::Split;
        ms = n == 2 ? ParseMsArg(a[2]) : std::optional<int>(kDefaultSplitPauseMs);
        ok = (n == 1 || n == 2) && ParseUnsigned(a[1], kMaxPosition, &f.count) && f.count > 0 &&
             ms.has_value();
        f.ms = ms.value_or(0);
    } else if (mode == "silent-after") {
        f.mode = Fault::Mode::SilentAfter;
        ok = n == 1 && !f.persist && ParseUnsigned(a[1], 999999999LL, &value);
        f.count = value;
    }
    if (!ok)
        return Err(kFaultUsage);
    slot.fault = f;
    return "OK\n";
}

void Chassis::Schedule(int channel, int port, const Slot& slot, Script steps, TimePoint now) {
    if (slot.delayMs > 0)
        steps.insert(steps.begin(), Step::Pause(slot.delayMs));
    replies_.Add(channel, port, steps, now);
}

std::optional<std::string> Chassis::CommandReply(Slot& slot, const WireLine& parsed) {
    // The raw identification answers even without a card, so a test can fake any slot.
    if (parsed.wellFormed && parsed.verb == WireVerb::Idn && slot.rawIdn)
        return *slot.rawIdn;
    if (!slot.card)
        return std::nullopt;
    Card& card = *slot.card;
    if (!parsed.wellFormed)
        return kFormatError + slot.errorEol;
    switch (parsed.verb) {
        case WireVerb::Idn:
            return card.idText + slot.eol;
        case WireVerb::Tst:
            return kPass + slot.eol;
        case WireVerb::Rst:
            card.OpenAll();
            return kOk + slot.eol;
        case WireVerb::Photo:
            return kFormatError + slot.errorEol;  // belongs to monitoring
        case WireVerb::Close:
        case WireVerb::Open:
            return RelayReply(slot, parsed);
    }
    return std::nullopt;
}

std::string Chassis::RelayReply(Slot& slot, const WireLine& parsed) {
    Card& card = *slot.card;
    const bool close = parsed.verb == WireVerb::Close;
    const std::string cmdError = kCmdError + slot.errorEol;
    const std::string rangeError = kRangeError + slot.errorEol;
    RelayKey relay;
    auto apply = [close](auto& set, const auto& key) {
        if (close) {
            set.insert(key);
        } else {
            set.erase(key);
        }
    };

    if (parsed.select != LineSelect::None) {
        if (!HasMatrix(card.model))
            return cmdError;
        if (!card.rows.Contains(parsed.field2))
            return rangeError;
        const bool lo = parsed.select == LineSelect::Lo;
        apply(card.rowLines, std::make_pair(parsed.field2.value, lo));
        relay = {RelayKey::Row, parsed.field2.value, lo ? 1 : 0};
    } else if (IsGroupCode(parsed.field2)) {
        long long group = parsed.field2.value;
        if (!HasGroup(card.model, group))
            return cmdError;
        const WireNumber& n = parsed.field3;
        switch (group) {
            case kGp:
                if (!card.gp.Contains(n))
                    return rangeError;
                apply(card.gpClosed, n.value);
                relay = {RelayKey::Gp, n.value, 0};
                break;
            case kExtGp:
                if (!card.extGp.Contains(n))
                    return rangeError;
                apply(card.extGpClosed, n.value);
                relay = {RelayKey::ExtGp, n.value, 0};
                break;
            case kPs:
                if (!card.ps.Contains(n))
                    return rangeError;
                apply(card.psClosed, n.value);
                relay = {RelayKey::Ps, n.value, 0};
                break;
            case kDischarge:
                if (!card.discharge.Contains(n))
                    return rangeError;
                apply(card.dischargeClosed, n.value);
                relay = {RelayKey::Discharge, n.value, 0};
                break;
            default:  // single relays: 1 pull-up, 2 test probe, 3 pull-down, 4 ground
                if (!Range{1, 4}.Contains(n))
                    return rangeError;
                apply(card.singles, n.value);
                relay = {RelayKey::Single, n.value, 0};
                break;
        }
    } else {
        if (!HasMatrix(card.model))
            return cmdError;
        if (!card.rows.Contains(parsed.field2) || !card.columns.Contains(parsed.field3)) {
            return rangeError;
        }
        apply(card.matrix, std::make_pair(parsed.field2.value, parsed.field3.value));
        relay = {RelayKey::Matrix, parsed.field2.value, parsed.field3.value};
    }
    ++card.ops;
    ++card.relayOps[relay];
    return kOk + slot.eol;
}

std::optional<std::string> Chassis::MonitorReply(const Slot& slot, const WireLine& parsed) {
    bool photo = parsed.wellFormed && parsed.verb == WireVerb::Photo;
    if (photo && slot.rawPhoto)
        return *slot.rawPhoto;
    // The X48 has no signal inputs and so no monitoring port to answer on.
    if (!slot.card || slot.card->model == Model::X48)
        return std::nullopt;
    if (!photo)
        return kFormatError + slot.errorEol;
    return std::string(1, static_cast<char>(slot.status)) + slot.eol;
}

std::string Chassis::SlotState(int slotNumber) const {
    const Slot& slot = At(slotNumber);
    char text[64];
    std::snprintf(text, sizeof text, "%02d", slotNumber);
    std::string line = text;
    std::snprintf(text, sizeof text, " status=0x%02x", slot.status);
    const std::string status = text;
    if (slot.card) {
        const Card& card = *slot.card;
        line += std::string(" ") + ModelName(card.model) + " id=" + Printable(card.idText) +
                status + " ops=" + std::to_string(card.ops);
        const Card fresh = Card::Make(card.model, {});
        const std::pair<const char*, Range Card::*> ranges[] = {
            {"rows", &Card::rows},   {"cols", &Card::columns}, {"gp", &Card::gp},
            {"extgp", &Card::extGp}, {"ps", &Card::ps},        {"discharge", &Card::discharge},
        };
        for (const auto& [name, member] : ranges) {
            const Range& range = card.*member;
            if (range.min != (fresh.*member).min || range.max != (fresh.*member).max) {
                line += std::string(" ") + name + "=" + std::to_string(range.min) + ".." +
                        std::to_string(range.max);
            }
        }
    } else {
        line += " empty";
        if (slot.status != 0xFF)
            line += status;
    }
    // Only the settings that differ from a freshly plugged card, to keep the line short.
    if (slot.delayMs != 0)
        line += " delay=" + std::to_string(slot.delayMs);
    if (slot.silent)
        line += " silent=1";
    if (slot.eol != "\n")
        line += std::string(" eol=") + EolName(slot.eol);
    if (slot.errorEol != slot.eol)
        line += std::string(" erroreol=") + EolName(slot.errorEol);
    if (slot.rawIdn)
        line += " idn=" + Printable(*slot.rawIdn);
    if (slot.rawPhoto)
        line += " photo=" + Printable(*slot.rawPhoto);
    if (!slot.next.empty())
        line += " next=" + std::to_string(slot.next.size());
    if (slot.fault.mode != Fault::Mode::None)
        line += " fault=" + FaultText(slot.fault);
    if (slot.card) {
        std::string closed;
        for (const std::string& name : slot.card->ClosedRelays())
            closed += (closed.empty() ? "" : ",") + name;
        line += " closed=" + (closed.empty() ? std::string("none") : closed);
    }
    return line;
}

std::vector<std::string> Chassis::HelpLines() {
    return {
        "ping                            answers OK",
        "help                            this list",
        "state                           every slot: model, id text, status byte, operations,",
        "                                ranges and settings unlike a new card's, closed relays",
        "relays SLOT                     closed relays of a card and its operation count",
        "ops SLOT                        operations of each relay of a card, and its state",
        "log                             every line received so far: PORT HEX",
        "clearlog                        empties the log",
        "reset                           empties every slot, clears settings, faults, log and",
        "                                replies; vanished ports come back",
        "restore                         reset, then the start-up chassis again (file, options)",
        "card SLOT MODEL [IDTEXT]        plugs an X16, X48 or Y48 card",
        "remove SLOT                     empties a slot",
        "range SLOT KIND MIN MAX         relay numbers a group accepts; KIND is rows, cols, gp,",
        "                                extgp, ps or discharge",
        "delay SLOT MS                   delays every reply of the slot",
        "silent SLOT 0|1                 a card that never answers",
        "status SLOT BYTE                the signal inputs PHOTO reports (0-255 or 0xNN)",
        "eol SLOT lf|crlf|none [errors]  line end of every reply, or of error replies only",
        "idn SLOT HEX|-                  raw *IDN? reply, even for an empty slot; - undoes it",
        "photo SLOT HEX|-                raw PHOTO reply; - undoes it",
        "next SLOT STEP...               script for the slot's next reply: hex:HEX wait:MS none",
        "fault SLOT MODE [ARG...]        the slot's next command-port reply misbehaves; with",
        "                                persist last, every reply until fault SLOT off:",
        "                                flood (64 KiB, no line end), garbage N [SEED] (random",
        "                                bytes), nul [POS] (a NUL inserted), cr (line feeds become",
        "                                carriage returns), trickle MS (a byte every MS ms),",
        "                                split POS [MS] (a pause at POS, default 20), late MS;",
        "                                silent-after N answers N commands, then stays silent",
        "                                until fault SLOT off. A next script goes first. Flood",
        "                                and garbage bytes the port cannot hold are lost",
        "ports                           the port paths: command, then monitoring ports 1-16",
        "vanish cmd|monNN [after-line]   closes the port's pty now, or once it has received",
        "                                its next line; its link stays",
        "replug cmd|monNN                a fresh pty for a vanished port, its link pointed at",
        "                                it; answers OK and the new path",
        "shutdown                        stops the simulator",
    };
}

std::string Chassis::Control(std::string_view request) {
    while (!request.empty() && (request.back() == '\r' || request.back() == '\n')) {
        request.remove_suffix(1);
    }
    std::vector<Token> tokens = Tokenize(request);
    if (tokens.empty())
        return Err("empty request");
    const std::string_view verb = tokens[0].text;
    const size_t argc = tokens.size() - 1;
    auto arg = [&tokens](size_t i) { return tokens[i].text; };

    if (verb == "ping")
        return argc == 0 ? "OK\n" : Err("usage: ping");
    if (verb == "reset") {
        if (argc != 0)
            return Err("usage: reset");
        Reset();
        return "OK\n";
    }
    if (verb == "log") {
        if (argc != 0)
            return Err("usage: log");
        std::vector<LogEntry> entries = LogSnapshot();
        std::string reply = "OK " + std::to_string(entries.size()) + "\n";
        for (const LogEntry& e : entries)
            reply += PortName(e.port) + " " + ToHex(e.bytes) + "\n";
        return reply;
    }
    if (verb == "clearlog") {
        if (argc != 0)
            return Err("usage: clearlog");
        log_.clear();
        return "OK\n";
    }
    if (verb == "help") {
        if (argc != 0)
            return Err("usage: help");
        return Listing(HelpLines());
    }
    if (verb == "state") {
        if (argc != 0)
            return Err("usage: state");
        std::vector<std::string> lines;
        for (int n = 1; n <= kSlotCount; ++n)
            lines.push_back(SlotState(n));
        return Listing(lines);
    }
    if (verb == "restore") {
        if (argc != 0)
            return Err("usage: restore");
        Reset();
        for (const std::string& setup : baseline_)
            Control(setup);
        return "OK\n";
    }

    // Every other request names a slot first.
    static const char* const kSlotRequests[] = {"card",  "remove", "idn",   "delay",  "silent",
                                                "next",  "status", "photo", "relays", "eol",
                                                "range", "ops",    "fault"};
    bool known = false;
    for (const char* name : kSlotRequests)
        known = known || verb == name;
    if (!known)
        return Err("unknown request");
    if (argc < 1)
        return Err("missing slot");
    std::optional<int> slotNumber = ParseSlotArg(arg(1));
    if (!slotNumber)
        return Err("bad slot (1-16)");
    Slot& slot = At(*slotNumber);

    if (verb == "fault") {
        std::vector<std::string_view> args;
        for (size_t i = 2; i <= argc; ++i)
            args.push_back(arg(i));
        return FaultRequest(slot, args);
    }
    if (verb == "card") {
        if (argc < 2)
            return Err("usage: card SLOT MODEL [IDTEXT]");
        std::optional<Model> model = ParseModel(arg(2));
        if (!model)
            return Err("bad model (X16, X48, Y48)");
        std::string idText;
        // The identification is everything after the single space that follows the model.
        size_t start = tokens[2].end + 1;
        if (start < request.size())
            idText = std::string(request.substr(start));
        slot.card = Card::Make(*model, std::move(idText));
        return "OK\n";
    }
    if (verb == "remove") {
        if (argc != 1)
            return Err("usage: remove SLOT");
        slot.card.reset();
        return "OK\n";
    }
    if (verb == "idn" || verb == "photo") {
        if (argc != 2)
            return Err("usage: " + std::string(verb) + " SLOT HEX|-");
        std::optional<std::string>& target = verb == "idn" ? slot.rawIdn : slot.rawPhoto;
        if (arg(2) == "-") {
            target.reset();
            return "OK\n";
        }
        std::string bytes;
        if (!FromHex(arg(2), &bytes))
            return Err("bad hex");
        target = std::move(bytes);
        return "OK\n";
    }
    if (verb == "delay") {
        std::optional<int> ms = argc == 2 ? ParseMsArg(arg(2)) : std::nullopt;
        if (!ms)
            return Err("usage: delay SLOT MS (0-3600000)");
        slot.delayMs = *ms;
        return "OK\n";
    }
    if (verb == "silent") {
        if (argc != 2 || (arg(2) != "0" && arg(2) != "1"))
            return Err("usage: silent SLOT 0|1");
        slot.silent = arg(2) == "1";
        return "OK\n";
    }
    if (verb == "next") {
        if (argc < 2)
            return Err("usage: next SLOT STEP... (hex:HEX wait:MS none)");
        if (slot.next.size() >= kMaxQueuedScripts)
            return Err("too many queued scripts");
        Script script;
        for (size_t i = 2; i <= argc; ++i) {
            std::string_view step = arg(i);
            if (step == "none")
                continue;
            if (step.substr(0, 4) == "hex:") {
                std::string bytes;
                if (step.size() == 4 || !FromHex(step.substr(4), &bytes)) {
                    return Err("bad step " + std::string(step));
                }
                script.push_back(Step::Send(std::move(bytes)));
            } else if (step.substr(0, 5) == "wait:") {
                std::optional<int> ms = ParseMsArg(step.substr(5));
                if (!ms)
                    return Err("bad step " + std::string(step));
                script.push_back(Step::Pause(*ms));
            } else {
                return Err("bad step " + std::string(step));
            }
        }
        slot.next.push_back(std::move(script));
        return "OK\n";
    }
    if (verb == "status") {
        std::optional<unsigned char> value = argc == 2 ? ParseByteArg(arg(2)) : std::nullopt;
        if (!value)
            return Err("usage: status SLOT BYTE (0-255 or 0xNN)");
        slot.status = *value;
        return "OK\n";
    }
    if (verb == "eol") {
        std::optional<std::string> eol = argc >= 2 ? ParseEol(arg(2)) : std::nullopt;
        bool errorsOnly = argc == 3 && arg(3) == "errors";
        if (!eol || argc > 3 || (argc == 3 && !errorsOnly)) {
            return Err("usage: eol SLOT lf|crlf|none [errors]");
        }
        if (!errorsOnly)
            slot.eol = *eol;
        slot.errorEol = *eol;
        return "OK\n";
    }
    if (verb == "relays") {
        if (argc != 1)
            return Err("usage: relays SLOT");
        if (!slot.card)
            return Err("no card in slot");
        return "OK " + slot.card->Describe() + "\n";
    }
    if (verb == "ops") {
        if (argc != 1)
            return Err("usage: ops SLOT");
        if (!slot.card)
            return Err("no card in slot");
        std::vector<std::string> lines;
        for (const auto& [relay, count] : slot.card->relayOps) {
            lines.push_back(relay.Name() + " ops:" + std::to_string(count) +
                            (slot.card->IsClosed(relay) ? " closed" : " open"));
        }
        return Listing(lines);
    }
    // range SLOT KIND MIN MAX
    if (argc != 4)
        return Err("usage: range SLOT rows|cols|gp|extgp|ps|discharge MIN MAX");
    if (!slot.card)
        return Err("no card in slot");
    long long min = 0;
    long long max = 0;
    if (!ParseSigned(arg(3), &min) || !ParseSigned(arg(4), &max) || min > max) {
        return Err("bad range");
    }
    Card& card = *slot.card;
    const std::string_view kind = arg(2);
    Range* range = kind == "rows"        ? &card.rows
                   : kind == "cols"      ? &card.columns
                   : kind == "gp"        ? &card.gp
                   : kind == "extgp"     ? &card.extGp
                   : kind == "ps"        ? &card.ps
                   : kind == "discharge" ? &card.discharge
                                         : nullptr;
    if (range == nullptr)
        return Err("bad range kind");
    *range = {min, max};
    return "OK\n";
}

}  // namespace halvex::sim
