#include "api/binding.h"

#include <cstdlib>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace halvex_test {

std::string ExportName(const std::string& names, const char* function, int bytes,
                       bool decoratedInDebug) {
    const std::string decorated = "_" + std::string(function) + "@" + std::to_string(bytes);
    if (names == "release" || (names == "debug" && decoratedInDebug))
        return decorated;
    return function;
}

Library::Library(const std::string& path, const std::string& names) {
#if defined(_WIN32)
    handle_ = LoadLibraryA(path.c_str());
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (handle_ == nullptr)
        throw std::runtime_error("cannot load " + path);
#define HALVEX_EXPORT(name, bytes, debug)                                        \
    {                                                                            \
        const std::string exported =                                             \
            ExportName(names, #name, bytes, std::string(#debug) == "decorated"); \
        void* p = Symbol(exported);                                              \
        if (p == nullptr)                                                        \
            throw std::runtime_error("no export " + exported);                   \
        api_.name = reinterpret_cast<decltype(api_.name)>(p);                    \
    }
#include "driver/export_table.inc"
#undef HALVEX_EXPORT
}

Library::~Library() {
    Unload();
}

void Library::Unload() {
    if (handle_ == nullptr)
        return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
}

void* Library::Symbol(const std::string& exportedName) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(handle_), exportedName.c_str()));
#else
    return dlsym(handle_, exportedName.c_str());
#endif
}

void ReleaseSeries(CardInfo* records) {
#if defined(_WIN32)
    HeapFree(GetProcessHeap(), 0, records);
#else
    std::free(records);
#endif
}

}  // namespace halvex_test
