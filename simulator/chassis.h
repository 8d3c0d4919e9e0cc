// The simulated chassis: sixteen slots, their cards and relay states, the replies each received
// line earns, the control requests of tests, and a log of every byte received. No I/O happens
// here; time is passed in, so the whole behaviour can be driven from a unit test.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line_splitter.h"
#include "protocol.h"
#include "reply_queue.h"

namespace halvex::sim {

constexpr int kCommandPort = 0;  // ports 1..16 are the monitoring ports of those slots
constexpr int kPortCount = kSlotCount + 1;

enum class Model { X16, X48, Y48 };

std::optional<Model> ParseModel(std::string_view text);
const char* ModelName(Model model);
// "cmd" or "mon01".."mon16".
std::string PortName(int port);

struct Range {
    long long min = 1;
    long long max = 1;
    bool Contains(const WireNumber& n) const { return !n.huge && n.value >= min && n.value <= max; }
};

// One relay of a card, ordered as "relays" lists them.
struct RelayKey {
    enum Kind { Matrix, Row, Gp, ExtGp, Ps, Discharge, Single };
    Kind kind = Matrix;
    long long a = 0;  // row, or the relay number of a group
    long long b = 0;  // column; for a row line 1 means lo, 0 hi
    bool operator<(const RelayKey& o) const {
        return kind != o.kind ? kind < o.kind : a != o.a ? a < o.a : b < o.b;
    }
    // "matrix:5:7", "row:5:lo", "gp:12", ...
    std::string Name() const;
};

struct Card {
    Model model = Model::X16;
    std::string idText;
    Range rows, columns, gp, extGp, ps, discharge;

    std::set<std::pair<long long, long long>> matrix;  // (row, column)
    std::set<std::pair<long long, bool>> rowLines;     // (row, lo)
    std::set<long long> gpClosed, extGpClosed, psClosed, dischargeClosed, singles;
    unsigned long long ops = 0;                       // accepted OPEN and CLOSE commands
    std::map<RelayKey, unsigned long long> relayOps;  // the same, per relay

    static Card Make(Model model, std::string idText);
    void OpenAll();
    bool IsClosed(const RelayKey& relay) const;
    // The names of the closed relays, in RelayKey order.
    std::vector<std::string> ClosedRelays() const;
    // "matrix:5:7 row:5:lo gp:12 single:1 ops:3"
    std::string Describe() const;
};

// A misbehaviour of one slot's replies on the command port, set by the "fault" request.
struct Fault {
    enum class Mode { None, Flood, Garbage, Nul, Cr, Trickle, Split, Late, SilentAfter };
    Mode mode = Mode::None;
    long long count = 0;  // garbage: bytes; nul and split: position; silent-after: replies left
    int ms = 0;           // trickle, split and late
    bool persist = false;
    unsigned long seed = 1;
    std::mt19937 random;  // the garbage stream, the same for the same seed on every platform
};

// The bytes of a flood: the alphabet over and over, no line end anywhere.
std::string FloodBytes();
constexpr size_t kFloodSize = 64 * 1024;

struct LogEntry {
    int port = 0;
    std::string bytes;
};

class Chassis {
  public:
    using TraceFn = std::function<void(const std::string&)>;

    Chassis();

    // Set-up, shared by the command line and the control channel. Slots are 1..16.
    void PlugCard(int slot, Model model, std::string idText = {});
    void RemoveCard(int slot);
    void SetDelay(int slot, int ms);
    void SetSilent(int slot, bool silent);
    // A partial line idle this long is logged and dropped; 0 keeps it forever.
    void SetLineTimeout(std::chrono::milliseconds idle) { lineTimeout_ = idle; }
    void SetTrace(TraceFn trace) { trace_ = std::move(trace); }
    // Empties every slot, clears every slot setting, the log, line buffers and queued replies.
    void Reset();
    // The set-up requests "restore" applies again after a reset: the chassis file and options.
    void SetBaseline(std::vector<std::string> requests) { baseline_ = std::move(requests); }

    const Card* CardAt(int slot) const;

    // Bytes read from a port. Replies are queued; Advance hands them out when due.
    void Receive(int port, std::string_view bytes, TimePoint now);
    std::vector<Output> Advance(TimePoint now);
    std::optional<TimePoint> NextDeadline() const;

    // One control request (without its line end); returns the whole reply, each line ending
    // in "\n".
    std::string Control(std::string_view request);

    // Every complete (or dropped) line so far, then the partial lines still being received.
    std::vector<LogEntry> LogSnapshot() const;

    // One line per slot for "state": "01 X16 id=\"...\" status=0xff ops=3 closed=gp:1,gp:2".
    std::string SlotState(int slot) const;
    // The lines of "help", each a request and what it does.
    static std::vector<std::string> HelpLines();

  private:
    struct Slot {
        std::optional<Card> card;
        int delayMs = 0;
        bool silent = false;
        std::optional<std::string> rawIdn;
        std::optional<std::string> rawPhoto;
        unsigned char status = 0xFF;
        std::deque<Script> next;
        std::string eol = "\n";
        std::string errorEol = "\n";
        Fault fault;
    };

    Slot& At(int slot) { return slots_[slot - 1]; }
    const Slot& At(int slot) const { return slots_[slot - 1]; }

    void HandleLine(int port, const std::string& line, TimePoint now);
    std::optional<std::string> CommandReply(Slot& slot, const WireLine& parsed);
    std::optional<std::string> MonitorReply(const Slot& slot, const WireLine& parsed);
    std::string RelayReply(Slot& slot, const WireLine& parsed);
    // The steps a faulty slot sends instead of `reply` (none: the card would stay silent).
    Script FaultScript(Slot& slot, std::optional<std::string> reply);
    std::string FaultRequest(Slot& slot, const std::vector<std::string_view>& args);
    void Schedule(int channel, int port, const Slot& slot, Script steps, TimePoint now);
    void AppendLog(int port, std::string bytes);
    void Trace(const std::string& text) const;

    std::array<Slot, kSlotCount> slots_;
    std::array<LineSplitter, kPortCount> splitters_;
    std::deque<LogEntry> log_;
    ReplyQueue replies_;
    std::chrono::milliseconds lineTimeout_{500};
    TraceFn trace_;
    std::vector<std::string> baseline_;
};

}  // namespace halvex::sim
