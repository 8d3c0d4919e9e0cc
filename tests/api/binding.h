// The library under test, loaded from a file and bound by the names its build exports.
#pragma once

#include <string>

#include "halvex.h"

namespace halvex_test {

struct Api {
#define HALVEX_EXPORT(name, bytes, debug) decltype(&::name) name = nullptr;
#include "driver/export_table.inc"
#undef HALVEX_EXPORT
};

// The name `function` goes by in a build whose names are "plain" (Linux), "release"
// (Halvex32.dll) or "debug" (Halvex32D.dll); decoratedInDebug from the export table.
std::string ExportName(const std::string& names, const char* function, int bytes,
                       bool decoratedInDebug);

// Loads `path` and binds all 49 functions; throws with the name that was missing.
class Library {
  public:
    Library(const std::string& path, const std::string& names);
    ~Library();
    void Unload();
    const Api& api() const { return api_; }
    // The raw lookup, for tests of the export table itself.
    void* Symbol(const std::string& exportedName) const;

  private:
    void* handle_ = nullptr;
    Api api_;
};

// Releases a GetHalvexSeries array the way the platform's callers must.
void ReleaseSeries(CardInfo* records);

}  // namespace halvex_test
