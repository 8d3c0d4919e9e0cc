// A card's signal monitor: the worker thread that runs the card's poll loop, and the hand-over
// between that worker and the calls that begin, end and read.
//
// No thread ever waits for a worker that may be waiting for it: on a monitor's thread (inside
// a callback) nothing waits for a worker that has not left, since that worker's callback may in
// turn be waiting for this thread. There End only stops the monitor: no callback of it starts
// after End returns, and its worker closes the port as it leaves.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>

#include "core/thread_safety.h"
#include "halvex.h"
#include "link/serial_link.h"
#include "monitor/worker_thread.h"

namespace halvex {

// True on a monitor's worker thread, where no call may wait for a worker (see Stop).
bool OnMonitorThread();

// trunc(interval * 1000 - 10) ms; an interval that is not a number or too short gives 0, and
// one too long for a 32-bit count gives the largest count.
int32_t MonitorPauseMs(double intervalSeconds);

class SignalMonitor {
  public:
    // The port, the stop flag, the callback and the interval are the card's; the monitor makes
    // every change to them, under its lock.
    SignalMonitor(SerialLink& monitorLink, std::atomic<int32_t>& stopMonitoring,
                  SignalCallback& signalCallback, double& monitorInterval);
    SignalMonitor(const SignalMonitor&) = delete;
    SignalMonitor& operator=(const SignalMonitor&) = delete;

    // Opens `port` and runs `poll` on a worker, once no earlier worker runs. kNoSuchCard once
    // retired; kPortOpenError while a worker runs, or when the port or a thread cannot be had.
    int32_t Begin(const char* port, int32_t baudRate, double intervalSeconds,
                  SignalCallback callback, std::function<void()> poll) EXCLUDES(stateMutex_);
    // Stops the worker and closes the port; kPortCloseError when the port would not close.
    int32_t End() EXCLUDES(stateMutex_);
    // With no worker running: opens `port`, runs `read` (which returns a result code) and
    // closes the port again. kNoSuchCard once retired, kPortOpenError while a worker runs.
    int32_t WithPort(const char* port, int32_t baudRate, const std::function<int32_t()>& read)
        EXCLUDES(stateMutex_);

    // Ends a running monitor and releases the port, waiting for the worker to leave unless that
    // could mean waiting for ourselves (on a monitor's thread) or the platform forbids it
    // (unload under the loader lock). True when the worker may still run.
    bool Stop() EXCLUDES(stateMutex_);
    // As Stop, for a card leaving the registry: Begin and WithPort refuse it from now on.
    bool Retire() EXCLUDES(stateMutex_);
    // True when no worker runs any more (none started, or it has left).
    bool Gone() EXCLUDES(stateMutex_);

    // For the poll loop, on the worker. The port Begin opened, to reopen one that went away.
    // Unlocked: Begin sets it before the worker starts and not again until the worker has left.
    const std::string& Port() const NO_THREAD_SAFETY_ANALYSIS { return monitorPort_; }
    // Hands one reading to the callback unless a stop came first; false then, and the loop ends.
    bool Deliver(SignalStatus* status, int32_t count) EXCLUDES(stateMutex_);
    // Waits out the pause of the interval, or less when a stop comes.
    void Pause() EXCLUDES(stateMutex_);

  private:
    // Idle: no worker. Running: polling. Stopping: asked to stop, the worker has not left yet
    // (it may still be in a callback that began before). Left: gone, its thread not yet joined.
    enum class Phase { Idle, Running, Stopping, Left };

    static void Entry(void* monitor);
    // The worker runs poll_ unlocked, as Port reads: Begin sets it before the worker starts.
    void Poll() NO_THREAD_SAFETY_ANALYSIS { poll_(); }
    // With stateMutex_: brings the monitor to Idle for Begin and WithPort, waiting for a worker
    // that is leaving; false when one runs, or when waiting could mean waiting for ourselves.
    bool WaitUntilIdle(UniqueLock& lock) REQUIRES(stateMutex_);
    // With stateMutex_: see Stop. kPortCloseError when the port would not close.
    int32_t Stop(UniqueLock& lock, bool* stillRunning) REQUIRES(stateMutex_);

    SerialLink& monitorLink;
    std::atomic<int32_t>& stopMonitoring;
    SignalCallback& signalCallback;
    double& monitorInterval GUARDED_BY(stateMutex_);

    // Every field below, stopMonitoring's changes, and the hand-over between the calls and the
    // worker. Held only for short, bounded work; waits release it.
    Mutex stateMutex_;
    std::condition_variable changed_;  // stop requested, a callback returned, the worker left
    Phase phase_ GUARDED_BY(stateMutex_) = Phase::Idle;
    bool inCallback_ GUARDED_BY(stateMutex_) = false;
    // Ended from a monitor's thread: the worker closes the port.
    bool closeOnExit_ GUARDED_BY(stateMutex_) = false;
    bool retired_ GUARDED_BY(stateMutex_) = false;     // no longer in the registry
    std::string monitorPort_ GUARDED_BY(stateMutex_);  // for reopening a port that went away
    std::function<void()> poll_ GUARDED_BY(stateMutex_);
    WorkerThread worker_ GUARDED_BY(stateMutex_);
};

}  // namespace halvex
