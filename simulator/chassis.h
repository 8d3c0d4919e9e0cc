// The simulated chassis: sixteen slots with their cards and settings, the replies each received
// line earns, the control requests of tests, and a log of every byte received. No I/O happens
// here; time is passed in, so the whole behaviour can be driven from a unit test.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adapter.h"
#include "card.h"
#include "control.h"
#include "fault.h"
#include "line_splitter.h"
#include "protocol.h"
#include "reply_queue.h"

namespace halvex::sim {

constexpr int kCommandPort = 0;  // ports 1..16 are the monitoring ports of those slots
constexpr int kPortCount = kSlotCount + 1;

// "cmd" or "mon01".."mon16".
std::string PortName(int port);

struct LogEntry {
    int port = 0;
    std::string bytes;
};

class Chassis {
  public:
    using TraceFn = std::function<void(const std::string&)>;

    Chassis();
    Chassis(const Chassis&) = delete;
    Chassis& operator=(const Chassis&) = delete;

    // Set-up for tests that drive the chassis directly. Slots are 1..16.
    void PlugCard(int slot, Model model, std::string idText = {}) {
        At(slot).card = Card::Make(model, std::move(idText));
    }
    void SetDelay(int slot, int ms) { At(slot).delayMs = ms; }
    void SetSilent(int slot, bool silent) { At(slot).silent = silent; }
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
    std::string Control(std::string_view request) { return requests_.Dispatch(request); }
    // Every request the control channel knows; the process binds the ones it answers itself.
    RequestTable& requests() { return requests_; }

    // Every complete (or dropped) line so far, then the partial lines still being received.
    std::vector<LogEntry> LogSnapshot() const;

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

    void HandleCommand(int slotNumber, const WireLine& parsed, TimePoint now);
    std::optional<std::string> CommandReply(Slot& slot, const WireLine& parsed);
    std::optional<std::string> MonitorReply(const Slot& slot, const WireLine& parsed);
    void Schedule(int channel, int port, const Slot& slot, Script steps, TimePoint now);
    void AppendLog(int port, std::string bytes);
    void Trace(const std::string& text) const;
    // One line per slot for "state": "01 X16 id=\"...\" status=0xff ops=3 closed=gp:1,gp:2".
    std::string SlotState(int slot) const;

    // chassis_requests.cpp
    RequestTable MakeRequests();
    std::vector<Request> ChassisRequests();
    std::vector<Request> SlotRequests();
    std::string StateRequest();
    std::string LogRequest();
    std::string CardReport(const RequestArgs& args, bool perRelay);
    std::string CardRequest(Slot& slot, const RequestArgs& args);
    std::string RemoveRequest(Slot& slot, const RequestArgs& args);
    std::string RangeRequest(Slot& slot, const RequestArgs& args);
    std::string DelayRequest(Slot& slot, const RequestArgs& args);
    std::string SilentRequest(Slot& slot, const RequestArgs& args);
    std::string StatusRequest(Slot& slot, const RequestArgs& args);
    std::string EolRequest(Slot& slot, const RequestArgs& args);
    std::string RawReplyRequest(Slot& slot, const RequestArgs& args);
    std::string NextRequest(Slot& slot, const RequestArgs& args);
    std::string FaultRequest(Slot& slot, const RequestArgs& args);
    std::string AdapterRequest(const RequestArgs& args);

    std::array<Slot, kSlotCount> slots_;
    std::array<LineSplitter, kPortCount> splitters_;
    std::deque<LogEntry> log_;
    ReplyQueue replies_;
    UsbAdapter adapter_;  // between the cards and every port
    std::chrono::milliseconds lineTimeout_{500};
    TraceFn trace_;
    std::vector<std::string> baseline_;
    RequestTable requests_;
};

}  // namespace halvex::sim
