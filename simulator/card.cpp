#include "card.h"

#include <cctype>

#include "core/vocabulary.h"

namespace halvex::sim {

namespace {

using halvex::Relay;
using halvex::RelayId;

const char* const kRangeNames[kRangeKinds] = {"rows",
                                              "cols",
                                              Relay(RelayId::kGP).name,
                                              Relay(RelayId::kExtGP).name,
                                              Relay(RelayId::kPs).name,
                                              Relay(RelayId::kDischarge).name};
// The names ranges had before the relays' names were made one; still read.
const char* const kFormerRangeNames[kRangeKinds] = {"rows",
                                                    "cols",
                                                    Relay(RelayId::kGP).formerly,
                                                    Relay(RelayId::kExtGP).formerly,
                                                    Relay(RelayId::kPs).formerly,
                                                    Relay(RelayId::kDischarge).formerly};

constexpr unsigned Bit(Model m) {
    return 1u << static_cast<unsigned>(m);  // the vocabulary's model bits, in its model order
}
static_assert(Bit(Model::X16) == halvex::kX16Bit && Bit(Model::X48) == halvex::kX48Bit &&
              Bit(Model::Y48) == halvex::kY48Bit);

// The single relays' subcodes run from 1 to their count.
constexpr long long SingleRelayCount() {
    long long count = 0;
    for (const halvex::RelayKindInfo& k : halvex::kRelayKinds)
        count += k.shape == halvex::RelayShape::kSingle ? 1 : 0;
    return count;
}

// A relay group addressed by the code in the second field of a relay command.
struct Group {
    long long code;
    RelayKind kind;
    std::optional<RangeKind> range;  // none: the fixed four single relays
    unsigned models;
};

constexpr Group Of(RelayId id, RelayKind kind, std::optional<RangeKind> range) {
    return {Relay(id).group, kind, range, Relay(id).models};
}
constexpr Group kGroups[] = {
    Of(RelayId::kGP, RelayKind::Gp, RangeKind::Gp),
    Of(RelayId::kExtGP, RelayKind::ExtGp, RangeKind::ExtGp),
    Of(RelayId::kPs, RelayKind::Ps, RangeKind::Ps),
    Of(RelayId::kDischarge, RelayKind::Discharge, RangeKind::Discharge),
    Of(RelayId::kPullUp, RelayKind::Single, std::nullopt),  // subcodes name the single relays
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
        if (name == kRangeNames[i] || name == kFormerRangeNames[i])
            return static_cast<RangeKind>(i);
    }
    return std::nullopt;
}

const char* RangeName(RangeKind kind) {
    return kRangeNames[static_cast<size_t>(kind)];
}

std::string RelayKey::Name() const {
    if (kind == RelayKind::Single) {
        for (const halvex::RelayKindInfo& k : halvex::kRelayKinds) {
            if (k.shape == halvex::RelayShape::kSingle && k.subcode == a)
                return k.name;
        }
    }
    static const RelayId kKinds[] = {RelayId::kMatrix, RelayId::kRow, RelayId::kGP,
                                     RelayId::kExtGP,  RelayId::kPs,  RelayId::kDischarge};
    std::string name =
        std::string(Relay(kKinds[static_cast<int>(kind)]).name) + ":" + std::to_string(a);
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
        const Range accepted = group->range ? range(*group->range) : Range{1, SingleRelayCount()};
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

std::string Card::ChangedRangesJson() const {
    const Card fresh = Make(model, {});
    std::string text;
    for (size_t i = 0; i < kRangeKinds; ++i) {
        if (ranges[i].min != fresh.ranges[i].min || ranges[i].max != fresh.ranges[i].max) {
            text += std::string(text.empty() ? "" : ", ") + "\"" + kRangeNames[i] + "\": [" +
                    std::to_string(ranges[i].min) + ", " + std::to_string(ranges[i].max) + "]";
        }
    }
    return text;
}

}  // namespace halvex::sim
