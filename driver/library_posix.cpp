// Load and unload of the shared object; the caller frees listings with free().
#include <cstdlib>

#include "driver/controller.h"

namespace halvex {

void* AllocateForCaller(size_t size) {
    return std::malloc(size);
}

namespace {

__attribute__((constructor)) void OnLoad() {
    CreateController();
}

// Runs at dlclose and at exit; ending the monitors here waits for their workers.
__attribute__((destructor)) void OnUnload() {
    DestroyController();
}

}  // namespace

}  // namespace halvex
