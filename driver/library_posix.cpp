// Load and unload of the shared object; the caller frees listings with free().
#include <cstdlib>

#include <pthread.h>

#include "driver/controller.h"

namespace halvex {

void* AllocateForCaller(size_t size) {
    return std::malloc(size);
}

namespace {

void InForkedChild() {
    RenewControllerInChild();
}

__attribute__((constructor)) void OnLoad() {
    CreateController();
    pthread_atfork(nullptr, nullptr, &InForkedChild);
}

// Runs at dlclose and at exit: the calls under way finish, the monitors end, and calls that
// come later (other threads at exit) find no controller.
__attribute__((destructor)) void OnUnload() {
    DestroyController(true);
}

}  // namespace

}  // namespace halvex
