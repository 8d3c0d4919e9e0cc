// Process notifications of the DLL; the caller frees listings with HeapFree on the process heap.
#include <windows.h>

#include "driver/controller.h"
#include "monitor/worker_thread.h"

namespace halvex {

void* AllocateForCaller(size_t size) {
    return HeapAlloc(GetProcessHeap(), 0, size);
}

}  // namespace halvex

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            halvex::CreateController();
            break;
        case DLL_PROCESS_DETACH:
            // At process exit the other threads are already gone and nothing may be waited
            // for. A FreeLibrary only gets here once every monitor worker has let go of us,
            // perhaps on that worker's own way out; under the loader lock no thread is waited
            // for, and none need be: every worker is past the last of our code.
            if (reserved == nullptr) {
                halvex::WorkerThread::NeverWait();
                halvex::DestroyController(false);
            }
            break;
        default:
            break;
    }
    return TRUE;
}
