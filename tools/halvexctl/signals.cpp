#include "signals.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "console.h"
#include "halvex.h"
#include "output.h"
#include "parse.h"
#include "session.h"

namespace halvexctl {

namespace {

std::string States(int raw) {
    std::string s;
    for (int i = 0; i < 8; ++i)
        s += (raw >> i) & 1 ? '0' : '1';  // a clear bit is an active input
    return s;
}

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string ClockStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%H:%M:%S", std::localtime(&t));
    return stamp + std::string(".") + std::to_string(1000 + ms).substr(1);
}

// One watch of a card: what the library's monitor thread, Ctrl-C and the waiting loop share.
class Watch {
  public:
    Watch(const Invocation& inv, std::string port, int32_t card)
        : o_(inv.options), what_(Joined(inv.args)), port_(std::move(port)), card_(card) {}

    int Run(Session& session);
    // A reading from the monitor's thread: a line when the inputs changed.
    void Reading(const SignalStatus* status, int32_t count);

  private:
    // Waits for Ctrl-C or the end of --duration; says when the inputs go silent and resume.
    // Returns whether they were silent at the end.
    bool Wait(long long startMs);

    const Options& o_;
    const std::string what_;
    const std::string port_;
    const int32_t card_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> lastReadingMs_{0};
    std::mutex print_;  // one line at a time from both threads
    int last_ = -1;     // the last raw reading printed, under print_
};

// The library's callback carries no context of its own, so the watch it reports to is found
// here, set only while that watch runs.
std::atomic<Watch*> gWatching{nullptr};

void HALVEX_CALLBACK OnReading(SignalStatus* status, int32_t count) {
    if (Watch* watch = gWatching.load())
        watch->Reading(status, count);
}

void Watch::Reading(const SignalStatus* status, int32_t count) {
    lastReadingMs_ = NowMs();
    int raw = 0;
    for (int32_t i = 0; i < count && i < 8; ++i) {
        if (status[i].state == 0)
            raw |= 1 << (status[i].channel - 1);
    }
    std::lock_guard<std::mutex> lock(print_);
    if (raw == last_)
        return;
    last_ = raw;
    const std::string stamp = ClockStamp();
    if (o_.json) {
        Json line;
        line["time"] = stamp;
        line["card"] = card_;
        line["raw"] = raw;
        line["states"] = States(raw);
        std::printf("%s\n", JsonText(line).c_str());
    } else {
        std::printf("%s  card %d  inputs 1-8: %s (raw 0x%02x)\n", stamp.c_str(), card_,
                    States(raw).c_str(), raw);
    }
    std::fflush(stdout);
}

int Watch::Run(Session& session) {
    OnInterrupt(&stop_);
    const long long startMs = NowMs();
    lastReadingMs_ = startMs;
    const bool y48 = session.ModelOf(card_) == "Y48";
    gWatching = this;
    int32_t rc = y48 ? BeginY48SignalMonitoring(card_, port_.c_str(), o_.interval, &OnReading)
                     : BeginX16SignalMonitoring(card_, port_.c_str(), o_.interval, &OnReading);
    if (rc != 0) {
        gWatching = nullptr;
        OnInterrupt(nullptr);
        return Report(session, o_, what_, rc);
    }
    std::fprintf(stderr, "watching card %d on %s every %.3g s; Ctrl-C stops\n", card_,
                 port_.c_str(), o_.interval);
    const bool silent = Wait(startMs);
    rc = y48 ? EndY48SignalMonitoring(card_) : EndX16SignalMonitoring(card_);
    gWatching = nullptr;
    OnInterrupt(nullptr);  // Ctrl-C ends the watch only; later in a script it ends the tool
    std::lock_guard<std::mutex> lock(print_);
    Json fields;
    fields["silent"] = silent;
    if (rc == 0 && silent)
        rc = kNoReply;
    return Report(session, o_, what_ + " stopped", rc, fields);
}

bool Watch::Wait(long long startMs) {
    // A monitor whose port has gone keeps waiting for it without a word; say so.
    const long long silentAfterMs = std::max(1000LL, static_cast<long long>(o_.interval * 10000));
    bool silent = false;
    while (!stop_) {
        PauseMs(20);
        const long long now = NowMs();
        const long long quietMs = now - lastReadingMs_;
        if (!silent && quietMs >= silentAfterMs) {
            silent = true;
            std::lock_guard<std::mutex> lock(print_);
            std::fprintf(stderr, "%s  card %d: no reading for %.1f s: the inputs went silent\n",
                         ClockStamp().c_str(), card_, quietMs / 1000.0);
        } else if (silent && quietMs < silentAfterMs) {
            silent = false;
            std::lock_guard<std::mutex> lock(print_);
            std::fprintf(stderr, "%s  card %d: readings resumed\n", ClockStamp().c_str(), card_);
        }
        if (o_.duration >= 0 && now - startMs >= static_cast<long long>(o_.duration * 1000))
            break;
    }
    return silent;
}

}  // namespace

int RunRead(Session& session, const Invocation& inv) {
    const std::string port = NeedMonitorPort(inv);
    const int32_t card = CardArg(inv);
    int32_t value = -1;
    const int32_t rc = session.ModelOf(card) == "Y48"
                           ? GetY48SignalMonitoringData(card, port.c_str(), &value)
                           : GetX16SignalMonitoringData(card, port.c_str(), &value);
    char text[64] = "";
    Json fields = Json::object();
    if (rc == 0) {
        std::snprintf(text, sizeof(text), "  inputs 1-8: %s (raw 0x%02x)", States(value).c_str(),
                      value);
        fields["raw"] = value;
        fields["states"] = States(value);
    }
    return Report(session, inv.options, Joined(inv.args), rc, fields, text);
}

int RunWatch(Session& session, const Invocation& inv) {
    const std::string port = NeedMonitorPort(inv);
    Watch watch(inv, port, CardArg(inv));
    return watch.Run(session);
}

}  // namespace halvexctl
