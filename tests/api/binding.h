// The library under test, loaded from a file and bound by the names its build exports.
#pragma once

#include <string>

#include "halvex.h"

namespace halvex_test {

struct Api {
#define HALVEX_FN(name, bytes) decltype(&::name) name = nullptr;
#include "api/export_list.inc"
#undef HALVEX_FN
};

// "plain" (Linux), "release" (Halvex32.dll) or "debug" (Halvex32D.dll).
std::string ExportName(const std::string& names, const char* function, int bytes);

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
