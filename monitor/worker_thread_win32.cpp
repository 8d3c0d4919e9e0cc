#include "monitor/worker_thread.h"

#include <process.h>
#include <windows.h>

namespace halvex {

struct WorkerThread::State {
    HANDLE thread = nullptr;
};

namespace {

struct Launch {
    void (*entry)(void*);
    void* arg;
    HMODULE module;  // keeps this library loaded while the thread runs
};

unsigned __stdcall Trampoline(void* p) {
    Launch launch = *static_cast<Launch*>(p);
    delete static_cast<Launch*>(p);
    launch.entry(launch.arg);
    // Drops the thread's reference last, so the code it returns into is still mapped.
    FreeLibraryAndExitThread(launch.module, 0);
    return 0;
}

}  // namespace

WorkerThread::WorkerThread() : state_(new State) {}

WorkerThread::~WorkerThread() {
    Join();
}

bool WorkerThread::Start(void (*entry)(void*), void* arg) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&Trampoline), &module)) {
        return false;
    }
    Launch* launch = new Launch{entry, arg, module};
    uintptr_t handle = _beginthreadex(nullptr, 0, &Trampoline, launch, 0, nullptr);
    if (handle == 0) {
        delete launch;
        FreeLibrary(module);
        return false;
    }
    state_->thread = reinterpret_cast<HANDLE>(handle);
    return true;
}

void WorkerThread::Join() {
    if (state_->thread == nullptr)
        return;
    // The worker itself can only let go (for one, when its own exit unloads the library).
    if (GetThreadId(state_->thread) != GetCurrentThreadId() && MayWait())
        WaitForSingleObject(state_->thread, INFINITE);
    CloseHandle(state_->thread);
    state_->thread = nullptr;
}

bool WorkerThread::Started() const {
    return state_->thread != nullptr;
}

}  // namespace halvex
