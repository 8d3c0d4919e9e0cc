#include "monitor/signal_monitor.h"

#include <chrono>
#include <climits>
#include <utility>

#include "core/result_codes.h"

namespace halvex {

namespace {

// The monitor whose worker is this thread; null on every other thread.
thread_local SignalMonitor* tlsMonitor = nullptr;

}  // namespace

bool OnMonitorThread() {
    return tlsMonitor != nullptr;
}

int32_t MonitorPauseMs(double intervalSeconds) {
    const double ms = intervalSeconds * 1000.0 - 10.0;
    if (!(ms >= 0.0))
        return 0;  // also catches NaN
    if (ms >= static_cast<double>(INT32_MAX))
        return INT32_MAX;
    return static_cast<int32_t>(ms);
}

SignalMonitor::SignalMonitor(SerialLink& link, std::atomic<int32_t>& stop, SignalCallback& callback,
                             double& interval)
    : monitorLink(link),
      stopMonitoring(stop),
      signalCallback(callback),
      monitorInterval(interval) {}

void SignalMonitor::Entry(void* p) {
    auto* monitor = static_cast<SignalMonitor*>(p);
    tlsMonitor = monitor;
    monitor->Poll();
    {
        MutexLock lock(monitor->stateMutex_);
        if (monitor->closeOnExit_)
            monitor->monitorLink.ClosePort();
        monitor->closeOnExit_ = false;
        monitor->phase_ = Phase::Left;
        monitor->changed_.notify_all();
    }
    // The card may be gone from here on: a waiter joins this thread and may destroy it.
    tlsMonitor = nullptr;
}

bool SignalMonitor::Deliver(SignalStatus* status, int32_t count) {
    {
        MutexLock lock(stateMutex_);
        if (stopMonitoring.load() != 0)
            return false;
        inCallback_ = true;
    }
    signalCallback(status, count);
    MutexLock lock(stateMutex_);
    inCallback_ = false;
    changed_.notify_all();
    return true;
}

void SignalMonitor::Pause() {
    UniqueLock lock(stateMutex_);
    changed_.wait_for(lock.native(), std::chrono::milliseconds(MonitorPauseMs(monitorInterval)),
                      [this] { return stopMonitoring.load() != 0; });
}

bool SignalMonitor::WaitUntilIdle(UniqueLock& lock) {
    if (tlsMonitor == this)
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
                if ((tlsMonitor != nullptr && inCallback_) || !WorkerThread::MayWait())
                    return false;
                changed_.wait(lock.native());
                break;
        }
    }
}

int32_t SignalMonitor::Stop(UniqueLock& lock, bool* stillRunning) {
    *stillRunning = false;
    stopMonitoring.store(1);
    changed_.notify_all();
    if (phase_ == Phase::Running)
        phase_ = Phase::Stopping;
    if (phase_ == Phase::Stopping) {
        if (tlsMonitor != nullptr || !WorkerThread::MayWait()) {
            // No callback of this monitor starts from now on; the worker closes the port.
            closeOnExit_ = true;
            *stillRunning = true;
            return kSuccess;
        }
        changed_.wait(lock.native(),
                      [this]() REQUIRES(stateMutex_) { return phase_ != Phase::Stopping; });
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

int32_t SignalMonitor::Begin(const char* port, int32_t baudRate, double intervalSeconds,
                             SignalCallback callback, std::function<void()> poll) {
    UniqueLock lock(stateMutex_);
    if (retired_)
        return kNoSuchCard;  // a new discovery has replaced the card
    if (!WaitUntilIdle(lock))
        return kPortOpenError;
    if (!monitorLink.OpenPort(port, baudRate))
        return kPortOpenError;
    monitorPort_ = port;
    stopMonitoring.store(0);
    monitorInterval = intervalSeconds;
    signalCallback = callback;
    poll_ = std::move(poll);
    closeOnExit_ = false;
    phase_ = Phase::Running;
    if (!worker_.Start(&Entry, this)) {
        phase_ = Phase::Idle;
        stopMonitoring.store(1);
        monitorLink.ClosePort();
        return kPortOpenError;
    }
    return kSuccess;
}

int32_t SignalMonitor::End() {
    UniqueLock lock(stateMutex_);
    bool stillRunning = false;
    return Stop(lock, &stillRunning);
}

int32_t SignalMonitor::WithPort(const char* port, int32_t baudRate,
                                const std::function<int32_t()>& read) {
    UniqueLock lock(stateMutex_);
    if (retired_)
        return kNoSuchCard;
    if (!WaitUntilIdle(lock))
        return kPortOpenError;  // the monitor holds the port
    if (!monitorLink.OpenPort(port, baudRate))
        return kPortOpenError;
    const int32_t rc = read();
    if (!monitorLink.ClosePort())
        return kPortCloseError;
    return rc;
}

bool SignalMonitor::Stop() {
    UniqueLock lock(stateMutex_);
    bool stillRunning = false;
    Stop(lock, &stillRunning);
    return stillRunning;
}

bool SignalMonitor::Retire() {
    UniqueLock lock(stateMutex_);
    retired_ = true;
    bool stillRunning = false;
    Stop(lock, &stillRunning);
    return stillRunning;
}

bool SignalMonitor::Gone() {
    MutexLock lock(stateMutex_);
    return phase_ == Phase::Idle || phase_ == Phase::Left;
}

}  // namespace halvex
