#include "relays.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fixture_commands.h"
#include "output.h"
#include "parse.h"
#include "session.h"
#include "tables.h"

namespace halvexctl {

namespace {

struct RelayPlan {
    const RelayKind* kind;
    bool close;
    int32_t card, a, b;
};

// Refuses a matrix row that a card would read as a relay group code, showing the wire form.
void RefuseGroupRow(const RelayPlan& plan, const std::string& cmd) {
    using halvex::CommandFormat;
    using halvex::CommandId;
    const bool crosspoint = plan.kind->shape == Shape::kRowColumn;
    for (const halvex::RelayGroupInfo& g : halvex::kRelayGroups) {
        if (plan.a != g.code)
            continue;
        char wire[96], why[256];
        if (crosspoint) {
            std::snprintf(
                wire, sizeof(wire),
                CommandFormat(plan.close ? CommandId::kCloseRelay : CommandId::kOpenRelay),
                plan.card, plan.a, plan.b);
        } else {
            std::snprintf(wire, sizeof(wire),
                          CommandFormat(plan.close ? CommandId::kCloseLine : CommandId::kOpenLine),
                          plan.card, plan.a, plan.b ? "lo" : "hi");
        }
        wire[std::strcspn(wire, "\n")] = '\0';  // shown, not sent
        if (crosspoint)
            std::snprintf(why, sizeof(why), halvex::kGroupRowCrosspointText, plan.a, wire, g.name,
                          plan.b);
        else
            std::snprintf(why, sizeof(why), halvex::kGroupRowLineText, plan.a, wire, g.name);
        throw UsageError{std::string(why) + "; --allow-group-rows sends it anyway", cmd};
    }
}

RelayPlan PlanRelay(const Invocation& inv) {
    const std::string& cmd = inv.args[0];
    if (inv.args.size() < 3)
        throw UsageError{"missing arguments: usage: halvexctl " + cmd + " CARD RELAY [ARGS]", cmd};
    RelayPlan plan{nullptr, cmd == "close", CardArg(inv), 0, 0};
    for (const RelayKind& k : RelayKinds()) {
        if (inv.args[2] == k.name)
            plan.kind = &k;
    }
    if (plan.kind == nullptr) {
        std::string names;
        for (const RelayKind& k : RelayKinds())
            names += (names.empty() ? "" : ", ") + std::string(k.name);
        throw UsageError{"unknown relay kind '" + inv.args[2] + "': expected one of " + names, cmd};
    }
    const RelayKind& k = *plan.kind;
    const size_t want = k.shape == Shape::kSingle ? 3 : k.shape == Shape::kNumber ? 4 : 5;
    if (inv.args.size() != want) {
        throw UsageError{std::string(inv.args.size() < want ? "missing" : "too many") +
                             " arguments: usage: halvexctl " + cmd + " CARD " + k.name +
                             (*k.args ? " " : "") + k.args,
                         cmd};
    }
    try {
        switch (k.shape) {
            case Shape::kRowColumn:
                plan.a = RelayNumber(inv.args[3], "row");
                plan.b = RelayNumber(inv.args[4], "column");
                break;
            case Shape::kRowLine:
                plan.a = RelayNumber(inv.args[3], "row");
                if (inv.args[4] != "hi" && inv.args[4] != "lo")
                    throw UsageError{"bad line '" + inv.args[4] + "': expected hi or lo"};
                plan.b = inv.args[4] == "lo" ? 1 : 0;
                break;
            case Shape::kNumber:
                plan.a = RelayNumber(inv.args[3], "relay number");
                break;
            case Shape::kSingle:
                break;
        }
    } catch (UsageError& e) {
        e.command = cmd;
        throw;
    }
    const bool rowed = k.shape == Shape::kRowColumn || k.shape == Shape::kRowLine;
    if (rowed && !inv.options.allowGroupRows)
        RefuseGroupRow(plan, cmd);
    return plan;
}

// The export of the card's model, known since discovery; for a slot without a card or a model
// without the relay, the kind's first, so that the library answers 7 or 8 itself.
const ModelCalls& CallsFor(const RelayKind& kind, const std::string& model) {
    for (const ModelCalls& m : kind.models) {
        if (m.model != nullptr && model == m.model)
            return m;
    }
    for (const ModelCalls& m : kind.models) {
        if (m.model != nullptr)
            return m;
    }
    return *kind.models.begin();
}

}  // namespace

void CheckRelay(const Invocation& inv) {
    PlanRelay(inv);
}

namespace {

// The relay's name as the fixture layer takes it: "3:matrix:5:7", "3:row:5:lo", "3:gp:2".
std::string RelayName(const RelayPlan& plan) {
    std::string name = std::to_string(plan.card) + ":" + plan.kind->name;
    switch (plan.kind->shape) {
        case Shape::kRowColumn:
            return name + ":" + std::to_string(plan.a) + ":" + std::to_string(plan.b);
        case Shape::kRowLine:
            return name + ":" + std::to_string(plan.a) + (plan.b ? ":lo" : ":hi");
        case Shape::kNumber:
            return name + ":" + std::to_string(plan.a);
        case Shape::kSingle:
            break;
    }
    return name;
}

}  // namespace

int RunRelay(Session& session, const Invocation& inv) {
    const RelayPlan plan = PlanRelay(inv);
    if (session.fixture() != nullptr) {
        // With a fixture, a relay by hand passes the same interlock as its routes.
        const int32_t rc = FixtureSwitch(session.fixture(), plan.close, RelayName(plan));
        return Report(session, inv.options, Joined(inv.args), rc, Json::object(), "",
                      rc == 0 ? "" : FixtureLastError(session.fixture()));
    }
    const ModelCalls& m = CallsFor(*plan.kind, session.ModelOf(plan.card));
    const int32_t rc = (plan.close ? m.close : m.open)(plan.card, plan.a, plan.b);
    return Report(session, inv.options, Joined(inv.args), rc);
}

}  // namespace halvexctl
