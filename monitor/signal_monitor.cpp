// Signal monitoring of a card: the worker's poll cycle, its hand-over with the calls, single reads.
//
// No thread ever waits for a worker that may be waiting for it: on a monitor's thread (inside
// a callback) nothing waits for a worker that has not left, since that worker's callback may in
// turn be waiting for this thread. There End only stops the monitor: no callback of it starts
// after End returns, and its worker closes the port as it leaves.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "cards/cards.h"
#include "core/result_codes.h"
#include "monitor/signal_decode.h"

namespace halvex {

namespace {

constexpr int32_t kPhotoPauseMs = 10;
constexpr int32_t kMonitorBufferSize = 256;

// The card whose monitor runs on this thread; null on every other thread.
thread_local CHalvexCardBase* tlsMonitoredCard = nullptr;

}  // namespace

bool OnMonitorThread() {
    return tlsMonitoredCard != nullptr;
}

void DecodeSignalStatus(uint8_t statusByte, SignalStatus (&signalStatus)[kSignalChannels]) {
    for (int32_t i = 0; i < kSignalChannels; ++i) {
        signalStatus[i].channel = i + 1;
        signalStatus[i].state = (statusByte >> i) & 1 ? 0 : 1;
    }
}

int32_t MonitorPauseMs(double intervalSeconds) {
    const double ms = intervalSeconds * 1000.0 - 10.0;
    if (!(ms >= 0.0))
        return 0;  // also catches NaN
    if (ms >= static_cast<double>(INT32_MAX))
        return INT32_MAX;
    return static_cast<int32_t>(ms);
}

bool CHalvexCardBase::SendMonitorCommand(const char* command) {
    const bool ok = monitorLink.Write(command, static_cast<int32_t>(std::strlen(command)));
    SleepMs(kPhotoPauseMs);
    return ok;
}

int32_t CHalvexCardBase::SendPhotoCommand() {
    char chPhotoCommand[kCommandBufferSize];
    FormatDeviceCommand(chPhotoCommand, sizeof(chPhotoCommand), DeviceCommand::kPhoto, cardNumber);
    return SendMonitorCommand(chPhotoCommand) ? 1 : 0;
}

int32_t CHalvexCardBase::ReadStatusByte(uint8_t* statusByte) {
    const bool sent = SendPhotoCommand() != 0;
    SleepMs(kPhotoPauseMs);
    uint8_t retBuff[kMonitorBufferSize];
    int32_t iBuffLength = 0;
    monitorLink.Read(retBuff, kMonitorBufferSize, &iBuffLength);
    if (iBuffLength <= 0)
        return sent ? 0 : -1;
    *statusByte = retBuff[0];
    return 1;
}

void CHalvexCardBase::MonitorEntry(void* p) {
    auto* card = static_cast<CHalvexCardBase*>(p);
    tlsMonitoredCard = card;
    card->MonitorSignals();
    {
        std::lock_guard<std::mutex> lock(card->stateMutex_);
        if (card->closeOnExit_)
            card->monitorLink.ClosePort();
        card->closeOnExit_ = false;
        card->phase_ = Phase::Left;
        card->changed_.notify_all();
    }
    // The card may be gone from here on: a waiter joins this thread and may destroy it.
    tlsMonitoredCard = nullptr;
}

int32_t CHalvexCardBase::PollSignals() {
    while (stopMonitoring.load() == 0) {
        // A port that went away (adapter unplugged, far side closed) is closed and tried again
        // each cycle, so the readings resume when it comes back; meanwhile nothing is delivered.
        if (!monitorLink.IsOpen())
            monitorLink.OpenPort(monitorPort_.c_str(), kBaudRate);
        uint8_t statusByte = 0;
        int32_t got = -1;
        if (monitorLink.IsOpen())
            got = ReadStatusByte(&statusByte);
        if (got < 0) {
            monitorLink.ClosePort();
            SleepMs(2 * kPhotoPauseMs);  // the cycle keeps its length without a port
        }
        if (got > 0) {
            {
                std::lock_guard<std::mutex> lock(stateMutex_);
                if (stopMonitoring.load() != 0)
                    break;
                inCallback_ = true;
            }
            SignalStatus signalStatus[kSignalChannels];
            DecodeSignalStatus(statusByte, signalStatus);
            signalCallback(signalStatus, kSignalChannels);
            std::lock_guard<std::mutex> lock(stateMutex_);
            inCallback_ = false;
            changed_.notify_all();
        }
        std::unique_lock<std::mutex> lock(stateMutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(MonitorPauseMs(monitorInterval)),
                          [this] { return stopMonitoring.load() != 0; });
    }
    return 0;
}

bool CHalvexCardBase::WaitUntilIdle(std::unique_lock<std::mutex>& lock) {
    if (tlsMonitoredCard == this)
        return false;  // the worker cannot restart itself
    for (;;) {
        switch (phase_) {
            case Phase::Idle:
                return true;
            case Phase::Running:
                return false;  // already monitoring: its port is busy
            case Phase::Left:
                worker_.Join();  // it has left: only its last instructions remain
                phase_ = Phase::Idle;
                return true;
            case Phase::Stopping:
                // A worker still in its callback may be waiting for this very thread.
                if ((tlsMonitoredCard != nullptr && inCallback_) || !WorkerThread::MayWait())
                    return false;
                changed_.wait(lock);
                break;
        }
    }
}

int32_t CHalvexCardBase::Stop(std::unique_lock<std::mutex>& lock, bool* stillRunning) {
    *stillRunning = false;
    stopMonitoring.store(1);
    changed_.notify_all();
    if (phase_ == Phase::Running)
        phase_ = Phase::Stopping;
    if (phase_ == Phase::Stopping) {
        if (tlsMonitoredCard != nullptr || !WorkerThread::MayWait()) {
            // No callback of this monitor starts from now on; the worker closes the port.
            closeOnExit_ = true;
            *stillRunning = true;
            return kSuccess;
        }
        changed_.wait(lock, [this] { return phase_ != Phase::Stopping; });
        // Another call joined the worker and a Begin may already have started the next monitor,
        // whose port is not ours to close.
        if (phase_ == Phase::Running)
            return kSuccess;
    }
    if (phase_ == Phase::Left) {
        worker_.Join();
        phase_ = Phase::Idle;
    }
    return monitorLink.ClosePort() ? kSuccess : kPortCloseError;
}

int32_t CHalvexCardBase::BeginSignalMonitoring(const char* port, double intervalSeconds,
                                               SignalCallback callback) {
    if (callback == nullptr)
        return kParameterRangeError;
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (retired_)
        return kNoSuchCard;  // a new discovery has replaced the card
    if (!WaitUntilIdle(lock))
        return kPortOpenError;
    if (!monitorLink.OpenPort(port, kBaudRate))
        return kPortOpenError;
    monitorPort_ = port;
    stopMonitoring.store(0);
    monitorInterval = intervalSeconds;
    signalCallback = callback;
    closeOnExit_ = false;
    phase_ = Phase::Running;
    if (!worker_.Start(&MonitorEntry, this)) {
        phase_ = Phase::Idle;
        stopMonitoring.store(1);
        monitorLink.ClosePort();
        return kPortOpenError;
    }
    return kSuccess;
}

int32_t CHalvexCardBase::EndSignalMonitoring() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    bool stillRunning = false;
    return Stop(lock, &stillRunning);
}

int32_t CHalvexCardBase::GetSignalMonitoringData(const char* port, int32_t* value) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (retired_)
        return kNoSuchCard;
    if (!WaitUntilIdle(lock))
        return kPortOpenError;  // the monitor holds the port
    if (!monitorLink.OpenPort(port, kBaudRate))
        return kPortOpenError;
    uint8_t statusByte = 0;
    const bool read = ReadStatusByte(&statusByte) > 0;
    if (read && value != nullptr)
        *value = statusByte;
    if (!monitorLink.ClosePort())
        return kPortCloseError;
    return read ? kSuccess : kNoReply;
}

bool CHalvexCardBase::StopMonitor() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    bool stillRunning = false;
    Stop(lock, &stillRunning);
    return stillRunning;
}

bool CHalvexCardBase::RetireMonitor() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    retired_ = true;
    bool stillRunning = false;
    Stop(lock, &stillRunning);
    return stillRunning;
}

bool CHalvexCardBase::MonitorGone() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return phase_ == Phase::Idle || phase_ == Phase::Left;
}

CHalvexCardBase::~CHalvexCardBase() {
    StopMonitor();
}

}  // namespace halvex
