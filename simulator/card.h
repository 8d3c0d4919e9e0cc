// One simulated card: its model, identification, the relay numbers it accepts, and the state and
// operation count of every relay it has been told to move.
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace halvex::sim {

enum class Model { X16, X48, Y48 };

std::optional<Model> ParseModel(std::string_view text);
const char* ModelName(Model model);

struct Range {
    long long min = 1;
    long long max = 1;
    bool Contains(const WireNumber& n) const { return !n.huge && n.value >= min && n.value <= max; }
};

// The relay kinds in the order "relays" and "state" list them.
enum class RelayKind { Matrix, Row, Gp, ExtGp, Ps, Discharge, Single };

// The ranges "range" can change, in the order of their names: rows cols gp ext-gp ps discharge
// (ext-gp also as extgp, its earlier name).
enum class RangeKind { Rows, Cols, Gp, ExtGp, Ps, Discharge };
constexpr size_t kRangeKinds = 6;
std::optional<RangeKind> ParseRangeKind(std::string_view name);
const char* RangeName(RangeKind kind);

struct RelayKey {
    RelayKind kind = RelayKind::Matrix;
    long long a = 0;  // row, or the relay number of a group
    long long b = 0;  // column; for a row line 1 means lo, 0 hi
    bool operator<(const RelayKey& o) const {
        return kind != o.kind ? kind < o.kind : a != o.a ? a < o.a : b < o.b;
    }
    // "matrix:5:7", "row:5:lo", "gp:12", ...
    std::string Name() const;
};

struct RelayState {
    bool closed = false;
    unsigned long long ops = 0;  // accepted OPEN and CLOSE commands
};

enum class RelayResult { Ok, CmdError, RangeError };

struct Card {
    Model model = Model::X16;
    std::string idText;
    std::array<Range, kRangeKinds> ranges{};
    std::map<RelayKey, RelayState> relays;
    unsigned long long ops = 0;

    static Card Make(Model model, std::string idText);
    Range& range(RangeKind kind) { return ranges[static_cast<size_t>(kind)]; }
    const Range& range(RangeKind kind) const { return ranges[static_cast<size_t>(kind)]; }

    // A well-formed CLOSE or OPEN; counts the operation when it is accepted.
    RelayResult Operate(const WireLine& line);
    void OpenAll();
    // The names of the closed relays, in RelayKey order.
    std::vector<std::string> ClosedRelays() const;
    // "matrix:5:7 row:5:lo gp:12 pull-up ops:3"
    std::string Describe() const;
    // "matrix:5:7 ops:2 closed", one line per relay ever operated.
    std::vector<std::string> OpsLines() const;
    // " rows=1..8" for every range unlike a fresh card's.
    std::string ChangedRanges() const;
    // Those ranges as JSON members: "rows": [1, 8], ...
    std::string ChangedRangesJson() const;
};

}  // namespace halvex::sim
