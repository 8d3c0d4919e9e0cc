// The thread that runs one card's monitor.
#pragma once

#include <memory>

namespace halvex {

class WorkerThread {
  public:
    WorkerThread();
    ~WorkerThread();  // joins a thread still recorded
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts `entry(arg)` on a new thread; false when the platform refused one.
    bool Start(void (*entry)(void*), void* arg);
    // Waits for the thread to end and forgets it; nothing to do when none is recorded. Called
    // on the worker itself, it only forgets it.
    void Join();
    // True from a successful Start until Join, including after the thread itself has ended.
    bool Started() const;

    // From now on no thread waits for a worker: Join only lets go. For the unload of a library
    // under the platform's loader lock, which a leaving thread needs.
    static void NeverWait();
    static bool MayWait();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace halvex
