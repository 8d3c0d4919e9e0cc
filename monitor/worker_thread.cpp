// The part of the worker thread that is the same on every platform.
#include "monitor/worker_thread.h"

#include <atomic>

namespace halvex {

namespace {
std::atomic<bool> gMayWait{true};
}  // namespace

void WorkerThread::NeverWait() {
    gMayWait = false;
}

bool WorkerThread::MayWait() {
    return gMayWait.load();
}

}  // namespace halvex
