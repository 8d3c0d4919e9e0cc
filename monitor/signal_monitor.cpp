// Signal monitoring of a card: the worker's poll cycle, its hand-over with End, single reads.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "cards/cards.h"
#include "monitor/signal_decode.h"

namespace halvex {

namespace {

constexpr int32_t kPhotoPauseMs = 10;
constexpr int32_t kMonitorBufferSize = 256;

// The card whose monitor runs on this thread, so End from the callback can tell.
thread_local CHalvexCardBase* tlsMonitoredCard = nullptr;

}  // namespace

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
    std::snprintf(chPhotoCommand, sizeof(chPhotoCommand), "PHOTO(%02d)\n", cardNumber);
    return SendMonitorCommand(chPhotoCommand) ? 1 : 0;
}

void CHalvexCardBase::MonitorEntry(void* p) {
    auto* card = static_cast<CHalvexCardBase*>(p);
    tlsMonitoredCard = card;
    card->MonitorSignals();
    // End was called from the callback: the link is closed here, once nothing uses it.
    if (card->closeOnExit_)
        card->monitorLink.ClosePort();
    tlsMonitoredCard = nullptr;
}

int32_t CHalvexCardBase::PollSignals() {
    while (stopMonitoring.load() == 0) {
        SendPhotoCommand();
        SleepMs(kPhotoPauseMs);
        uint8_t retBuff[kMonitorBufferSize];
        int32_t iBuffLength = 0;
        monitorLink.Read(retBuff, kMonitorBufferSize, &iBuffLength);
        if (iBuffLength > 0 && stopMonitoring.load() == 0) {
            SignalStatus signalStatus[kSignalChannels];
            DecodeSignalStatus(retBuff[0], signalStatus);
            signalCallback(signalStatus, kSignalChannels);
        }
        std::unique_lock<std::mutex> lock(wakeMutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(MonitorPauseMs(monitorInterval)),
                       [this] { return stopMonitoring.load() != 0; });
    }
    return 0;
}

void CHalvexCardBase::RequestStop() {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopMonitoring.store(1);
    wake_.notify_all();
}

bool CHalvexCardBase::ReapStoppedWorker() {
    if (!worker_.Started())
        return true;
    if (stopMonitoring.load() == 0)
        return false;
    worker_.Join();
    return true;
}

int32_t CHalvexCardBase::BeginSignalMonitoring(const char* port, double intervalSeconds,
                                               SignalCallback callback) {
    if (callback == nullptr)
        return 3;
    if (tlsMonitoredCard == this)
        return 5;  // the worker cannot restart itself
    std::lock_guard<std::mutex> lock(monitorMutex_);
    if (!ReapStoppedWorker())
        return 5;  // already monitoring: its port is busy
    if (!monitorLink.OpenPort(port, kBaudRate))
        return 5;
    stopMonitoring.store(0);
    monitorInterval = intervalSeconds;
    signalCallback = callback;
    closeOnExit_ = false;
    if (!worker_.Start(&MonitorEntry, this)) {
        stopMonitoring.store(1);
        monitorLink.ClosePort();
        return 5;
    }
    return 0;
}

int32_t CHalvexCardBase::EndSignalMonitoring() {
    if (tlsMonitoredCard == this) {
        // Called from the callback: the worker leaves when it returns and closes the port.
        RequestStop();
        closeOnExit_ = true;
        return 0;
    }
    std::lock_guard<std::mutex> lock(monitorMutex_);
    RequestStop();
    worker_.Join();
    return monitorLink.ClosePort() ? 0 : 6;
}

int32_t CHalvexCardBase::GetSignalMonitoringData(const char* port, int32_t* value) {
    if (tlsMonitoredCard == this)
        return 5;
    std::lock_guard<std::mutex> lock(monitorMutex_);
    if (!ReapStoppedWorker())
        return 5;  // the monitor holds the port
    if (!monitorLink.OpenPort(port, kBaudRate))
        return 5;
    SendPhotoCommand();
    SleepMs(kPhotoPauseMs);
    uint8_t retBuff[kMonitorBufferSize];
    int32_t iBuffLength = 0;
    monitorLink.Read(retBuff, kMonitorBufferSize, &iBuffLength);
    if (iBuffLength > 0 && value != nullptr)
        *value = retBuff[0];
    if (!monitorLink.ClosePort())
        return 6;
    return iBuffLength > 0 ? 0 : 4;
}

void CHalvexCardBase::StopMonitor() {
    std::lock_guard<std::mutex> lock(monitorMutex_);
    RequestStop();
    worker_.Join();
    monitorLink.ClosePort();
}

CHalvexCardBase::~CHalvexCardBase() {
    StopMonitor();
}

}  // namespace halvex
