#include "monitor/worker_thread.h"

#include <system_error>
#include <thread>

namespace halvex {

struct WorkerThread::State {
    std::thread thread;
};

WorkerThread::WorkerThread() : state_(new State) {}

WorkerThread::~WorkerThread() {
    Join();
}

bool WorkerThread::Start(void (*entry)(void*), void* arg) {
    try {
        state_->thread = std::thread(entry, arg);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void WorkerThread::Join() {
    if (!state_->thread.joinable())
        return;
    // The worker itself can only let go; waiting for itself would never end.
    if (state_->thread.get_id() == std::this_thread::get_id() || !MayWait())
        state_->thread.detach();
    else
        state_->thread.join();
}

bool WorkerThread::Started() const {
    return state_->thread.joinable();
}

}  // namespace halvex
