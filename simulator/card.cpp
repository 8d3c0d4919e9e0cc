#include "card.h"

#include <cctype>

namespace halvex::sim {

namespace {

const char* const kRangeNames[kRangeKinds] = {"rows", "cols", "gp", "extgp", "ps", "discharge"};

constexpr unsigned Bit(Model m) {
    return 1u << static_cast<unsigned>(m);
}

// A relay group addressed by the code in the second field of a relay command.
struct Group {
    long long code;
    RelayKind kind;
    std::optional<RangeKind> range;  // none: the fixed four single relays
    unsigned models;
};

constexpr Group kGroups[] = {
    {10, RelayKind::Gp, RangeKind::Gp, Bit(Model::X16) | Bit(Model::Y48)},
    {20, RelayKind::ExtGp, RangeKind::ExtGp, Bit(Model::X16) | Bit(Model::Y48)},
    {30, RelayKind::Ps, RangeKind::Ps, Bit(Model::X16)},
    {40, RelayKind::Discharge, RangeKind::Discharge, Bit(Model::X16)},
    // single relays: 1 pull-up, 2 test probe, 3 pull-down, 4 ground
    {50, RelayKind::Single, std::nullopt, Bit(Model::X16) | Bit(Model::X48)},
};

const Group* FindGroup(const WireNumber& n) {
    for (const Group& g : kGroups) {
        if (!n.huge && n.value == g.code)
            return &g;
    }
    return nullptr;
}

}  // namespace

std::optional<Model> ParseModel(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (Model m : {Model::X16, Model::X48, Model::Y48}) {
        if (upper == ModelName(m))
            return m;
    }
    return std::nullopt;
}

const char* ModelName(Model model) {
    static const char* const kNames[] = {"X16", "X48", "Y48"};
    return kNames[static_cast<int>(model)];
}

std::optional<RangeKind> ParseRangeKind(std::string_view name) {
    for (size_t i = 0; i < kRangeKinds; ++i) {
        if (name == kRangeNames[i])
            return static_cast<RangeKind>(i);
    }
    return std::nullopt;
}

std::string RelayKey::Name() const {
    static const char* const kKinds[] = {"matrix", "row",       "gp",    "extgp",
                                         "ps",     "discharge", "single"};
    std::string name = std::string(kKinds[static_cast<int>(kind)]) + ":" + std::to_string(a);
    if (kind == RelayKind::Matrix)
        name += ":" + std::to_string(b);
    if (kind == RelayKind::Row)
        name += b != 0 ? ":lo" : ":hi";
    return name;
}

Card Card::Make(Model model, std::string idText) {
    Card card;
    card.model = model;
    card.idText = idText.empty() ? std::string("HALVEX ") + ModelName(model) + " SIMULATED CARD"
                                 : std::move(idText);
    const long long size = model == Model::X48 ? 48 : 16;
    card.ranges = {Range{1, size}, Range{1, size}, Range{1, 32},
                   Range{1, 32},   Range{1, 32},   Range{1, 32}};
    return card;
}

RelayResult Card::Operate(const WireLine& line) {
    const bool matrix = model != Model::Y48;
    RelayKey key;
    if (line.select != LineSelect::None) {
        if (!matrix)
            return RelayResult::CmdError;
        if (!range(RangeKind::Rows).Contains(line.field2))
            return RelayResult::RangeError;
        key = {RelayKind::Row, line.field2.value, line.select == LineSelect::Lo ? 1 : 0};
    } else if (const Group* group = FindGroup(line.field2)) {
        if ((group->models & Bit(model)) == 0)
            return RelayResult::CmdError;
        const Range accepted = group->range ? range(*group->range) : Range{1, 4};
        if (!accepted.Contains(line.field3))
            return RelayResult::RangeError;
        key = {group->kind, line.field3.value, 0};
    } else {
        if (!matrix)
            return RelayResult::CmdError;
        if (!range(RangeKind::Rows).Contains(line.field2) ||
            !range(RangeKind::Cols).Contains(line.field3))
            return RelayResult::RangeError;
        key = {RelayKind::Matrix, line.field2.value, line.field3.value};
    }
    RelayState& relay = relays[key];
    relay.closed = line.verb == WireVerb::Close;
    ++relay.ops;
    ++ops;
    return RelayResult::Ok;
}

void Card::OpenAll() {
    for (auto& entry : relays)
        entry.second.closed = false;
}

std::vector<std::string> Card::ClosedRelays() const {
    std::vector<std::string> names;
    for (const auto& [key, state] : relays) {
        if (state.closed)
            names.push_back(key.Name());
    }
    return names;
}

std::string Card::Describe() const {
    std::string text;
    for (const std::string& name : ClosedRelays())
        text += name + " ";
    return text + "ops:" + std::to_string(ops);
}

std::vector<std::string> Card::OpsLines() const {
    std::vector<std::string> lines;
    for (const auto& [key, state] : relays) {
        lines.push_back(key.Name() + " ops:" + std::to_string(state.ops) +
                        (state.closed ? " closed" : " open"));
    }
    return lines;
}

std::string Card::ChangedRanges() const {
    const Card fresh = Make(model, {});
    std::string text;
    for (size_t i = 0; i < kRangeKinds; ++i) {
        if (ranges[i].min != fresh.ranges[i].min || ranges[i].max != fresh.ranges[i].max) {
            text += std::string(" ") + kRangeNames[i] + "=" + std::to_string(ranges[i].min) + ".." +
                    std::to_string(ranges[i].max);
        }
    }
    return text;
}

}  // namespace halvex::sim
