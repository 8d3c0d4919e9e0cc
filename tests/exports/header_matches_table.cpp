// Compiles only if include/halvex.h declares every function of the export table, and
// include/halvex_fixture.h every function of the fixture layer's table, with the table's byte
// count: the decorated names the DLLs export are made from those counts, and a
// caller compiled against the header pushes what its declaration says.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "halvex.h"
#include "halvex_fixture.h"

namespace {

// An argument's share of the 32-bit Windows stack: 4 bytes for a pointer, else its size rounded
// up to 4, so that 64-bit builds check the same counts.
template <typename T>
constexpr int StackBytes() {
    return std::is_pointer<T>::value ? 4 : static_cast<int>((sizeof(T) + 3) / 4 * 4);
}

// Takes only a function of the header's calling convention.
template <typename Result, typename... Args>
constexpr int ArgumentBytes(Result(HALVEX_API*)(Args...)) {
    return (0 + ... + StackBytes<Args>());
}

#define HALVEX_EXPORT(name, bytes, debug)            \
    static_assert(ArgumentBytes(&::name) == (bytes), \
                  #name ": the header's arguments do not add up to the table's byte count");
#include "driver/export_table.inc"
#include "fixture/export_table.inc"
#undef HALVEX_EXPORT

}  // namespace
