#include "chassis.h"

#include <cstdio>

namespace halvex::sim {

namespace {

constexpr size_t kMaxLogEntries = 100000;

const char kOk[] = "OK";
const char kFormatError[] = "Format Error";

const char* EolName(const std::string& eol) {
    return eol == "\n" ? "lf" : eol == "\r\n" ? "crlf" : "none";
}

}  // namespace

std::string PortName(int port) {
    if (port == kCommandPort)
        return "cmd";
    char name[16];
    std::snprintf(name, sizeof name, "mon%02d", port);
    return name;
}

Chassis::Chassis() : requests_(MakeRequests()) {}

void Chassis::Reset() {
    for (Slot& slot : slots_)
        slot = Slot{};
    for (LineSplitter& splitter : splitters_)
        splitter.Clear();
    log_.clear();
    replies_.Clear();
    adapter_.Set(0, false);
    adapter_.Clear();
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
        if (!chunk.complete) {
            Trace(PortName(port) + " <- overlong line dropped: " + Printable(line));
            continue;
        }
        Trace(PortName(port) + " <- " + Printable(line));
        WireLine parsed = ParseWireLine(std::string_view(line).substr(0, line.size() - 1));
        if (parsed.slot == 0)
            continue;
        if (port == kCommandPort) {
            HandleCommand(parsed.slot, parsed, now);
            continue;
        }
        // A monitoring port belongs to one slot and ignores lines addressed to any other.
        const Slot& slot = At(port);
        std::optional<std::string> reply =
            parsed.slot == port ? MonitorReply(slot, parsed) : std::nullopt;
        if (reply && !slot.silent)
            Schedule(kSlotCount + port - 1, port, slot, {Step::Send(std::move(*reply))}, now);
    }
}

void Chassis::HandleCommand(int slotNumber, const WireLine& parsed, TimePoint now) {
    Slot& slot = At(slotNumber);
    if (!slot.next.empty()) {
        // A test script replaces whatever the card would have said, silence included.
        Script script = std::move(slot.next.front());
        slot.next.pop_front();
        Schedule(slotNumber - 1, kCommandPort, slot, std::move(script), now);
        return;
    }
    std::optional<std::string> reply = CommandReply(slot, parsed);
    if (slot.silent)
        reply.reset();
    if (slot.fault.mode != Fault::Mode::None) {
        Trace("cmd fault " + slot.fault.Text() + " on slot " + std::to_string(slotNumber));
        Script script = slot.fault.Apply(std::move(reply));
        if (!script.empty())
            Schedule(slotNumber - 1, kCommandPort, slot, std::move(script), now);
    } else if (reply) {
        Schedule(slotNumber - 1, kCommandPort, slot, {Step::Send(std::move(*reply))}, now);
    }
}

std::vector<Output> Chassis::Advance(TimePoint now) {
    for (int port = 0; port < kPortCount; ++port) {
        if (std::optional<std::string> partial = splitters_[port].Expire(now, lineTimeout_)) {
            Trace(PortName(port) + " <- idle partial line dropped: " + Printable(*partial));
            AppendLog(port, std::move(*partial));
        }
    }
    std::vector<Output> out = adapter_.Pass(replies_.Advance(now), now);
    for (const Output& o : out)
        Trace(PortName(o.port) + " -> " + Printable(o.bytes));
    return out;
}

std::optional<TimePoint> Chassis::NextDeadline() const {
    std::optional<TimePoint> next = replies_.NextDeadline();
    std::optional<TimePoint> held = adapter_.NextDeadline();
    if (held && (!next || *held < *next))
        next = held;
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
        if (!splitters_[port].Pending().empty())
            entries.push_back({port, splitters_[port].Pending()});
    }
    return entries;
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
            return "PASS" + slot.eol;
        case WireVerb::Rst:
            card.OpenAll();
            return kOk + slot.eol;
        case WireVerb::Photo:
            return kFormatError + slot.errorEol;  // belongs to monitoring
        case WireVerb::Close:
        case WireVerb::Open:
            switch (card.Operate(parsed)) {
                case RelayResult::Ok:
                    return kOk + slot.eol;
                case RelayResult::CmdError:
                    return "CMD Error" + slot.errorEol;
                case RelayResult::RangeError:
                    return "Parameter Range Error" + slot.errorEol;
            }
    }
    return std::nullopt;
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
                status + " ops=" + std::to_string(card.ops) + card.ChangedRanges();
    } else {
        line += " empty" + (slot.status != 0xFF ? status : std::string());
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
        line += " fault=" + slot.fault.Text();
    if (slot.card) {
        std::string closed;
        for (const std::string& name : slot.card->ClosedRelays())
            closed += (closed.empty() ? "" : ",") + name;
        line += " closed=" + (closed.empty() ? std::string("none") : closed);
    }
    return line;
}

}  // namespace halvex::sim
