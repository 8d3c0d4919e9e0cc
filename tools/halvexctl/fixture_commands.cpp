#include "fixture_commands.h"

#include <cstdio>
#include <vector>

#include "halvex_fixture.h"
#include "output.h"
#include "session.h"

namespace halvexctl {

struct FixtureHandle {
    HalvexFixture* fixture = nullptr;
};

namespace {

constexpr int32_t kTextSize = 1 << 16;

std::string Text(HalvexFixture* f, int32_t(HALVEX_API* get)(HalvexFixture*, char*, int32_t)) {
    std::vector<char> buffer(kTextSize, '\0');
    get(f, buffer.data(), kTextSize);
    return buffer.data();
}

void NeedFixture(const Invocation& inv) {
    if (inv.options.fixture.empty())
        throw UsageError{"needs a fixture file: give --fixture FILE or set HALVEX_FIXTURE",
                         inv.args[0]};
}

HalvexFixture* Live(const Session& session) {
    return session.fixture() != nullptr ? session.fixture()->fixture : nullptr;
}

std::string Rest(const Invocation& inv) {
    return Joined(std::vector<std::string>(inv.args.begin() + 1, inv.args.end()));
}

int Done(const Session& session, const Invocation& inv, int32_t rc) {
    return Report(session, inv.options, Joined(inv.args), rc, Json::object(), "",
                  rc == 0 ? "" : FixtureLastError(session.fixture()));
}

}  // namespace

int32_t OpenFixture(const std::string& path, const std::string& port, FixtureHandle** out,
                    std::string* error) {
    auto* handle = new FixtureHandle;
    int32_t rc = HalvexFixtureLoad(path.c_str(), &handle->fixture);
    if (rc == 0)
        rc = HalvexFixtureOpen(handle->fixture, port.c_str());
    if (rc != 0) {
        *error = FixtureLastError(handle);
        FreeFixture(handle);
        CloseHalvex();  // a port the layer opened before finding the cards wrong is let go
        return rc;
    }
    *out = handle;
    return 0;
}

void FreeFixture(FixtureHandle* handle) {
    if (handle == nullptr)
        return;
    HalvexFixtureFree(handle->fixture);
    delete handle;
}

std::string FixtureLastError(FixtureHandle* handle) {
    return handle == nullptr || handle->fixture == nullptr
               ? ""
               : Text(handle->fixture, HalvexFixtureLastError);
}

int32_t FixtureSwitch(FixtureHandle* handle, bool close, const std::string& relay) {
    return close ? HalvexFixtureCloseRelay(handle->fixture, relay.c_str())
                 : HalvexFixtureOpenRelay(handle->fixture, relay.c_str());
}

void CheckTwoNets(const Invocation& inv) {
    NeedFixture(inv);
    if (inv.args.size() != 3)
        throw UsageError{"usage: halvexctl " + inv.args[0] + " NET NET", inv.args[0]};
}

void CheckRoutes(const Invocation& inv) {
    NeedFixture(inv);
    if (inv.args.size() < 2)
        throw UsageError{"usage: halvexctl " + inv.args[0] + " ROUTE...", inv.args[0]};
}

void CheckOperation(const Invocation& inv) {
    NeedFixture(inv);
    if (inv.args.size() < 2)
        throw UsageError{"usage: halvexctl check OPERATION... (connect A B, apply ROUTE, ...)",
                         "check"};
}

void CheckFixtureOnly(const Invocation& inv) {
    NeedFixture(inv);
    if (inv.args.size() != 1)
        throw UsageError{"too many arguments: usage: halvexctl " + inv.args[0], inv.args[0]};
}

int RunConnect(Session& session, const Invocation& inv) {
    return Done(session, inv,
                HalvexFixtureConnect(Live(session), inv.args[1].c_str(), inv.args[2].c_str()));
}

int RunDisconnect(Session& session, const Invocation& inv) {
    return Done(session, inv,
                HalvexFixtureDisconnect(Live(session), inv.args[1].c_str(), inv.args[2].c_str()));
}

int RunApply(Session& session, const Invocation& inv) {
    return Done(session, inv, HalvexFixtureApply(Live(session), Rest(inv).c_str()));
}

int RunRelease(Session& session, const Invocation& inv) {
    return Done(session, inv, HalvexFixtureRelease(Live(session), Rest(inv).c_str()));
}

int RunDisconnectAll(Session& session, const Invocation& inv) {
    return Done(session, inv, HalvexFixtureDisconnectAll(Live(session)));
}

int RunCheck(Session& session, const Invocation& inv) {
    std::vector<char> plan(kTextSize, '\0');
    const int32_t rc = HalvexFixtureCheck(Live(session), Rest(inv).c_str(), plan.data(), kTextSize);
    if (rc != 0)
        return Done(session, inv, rc);
    Json fields;
    fields["plan"] = Json::array();
    std::string lines;
    for (const char* p = plan.data(); *p;) {
        const char* end = p;
        while (*end && *end != '\n')
            ++end;
        fields["plan"].push_back(std::string(p, end));
        lines += "\n  " + std::string(p, end);
        p = *end ? end + 1 : end;
    }
    return Report(session, inv.options, Joined(inv.args), 0, fields,
                  lines.empty() ? "  (nothing to switch)" : lines);
}

int RunState(Session& session, const Invocation& inv) {
    std::vector<char> text(kTextSize, '\0');
    const int32_t rc =
        HalvexFixtureState(Live(session), inv.options.json ? 1 : 0, text.data(), kTextSize);
    if (rc != 0)
        return Done(session, inv, rc);
    if (inv.options.json) {
        Json fields;
        fields["state"] = Json::parse(text.data());
        return Report(session, inv.options, "state", 0, fields);
    }
    std::printf("%s", text.data());
    return 0;
}

int RunNets(Session& session, const Invocation& inv) {
    HalvexFixture* f = nullptr;
    int32_t rc = HalvexFixtureLoad(inv.options.fixture.c_str(), &f);
    std::vector<char> text(kTextSize, '\0');
    if (rc == 0)
        rc = HalvexFixtureNets(f, text.data(), kTextSize);
    std::string why = rc == 0 ? "" : Text(f, HalvexFixtureLastError);
    HalvexFixtureFree(f);
    if (rc != 0)
        return Report(session, inv.options, "nets", rc, Json::object(), "", why);
    if (inv.options.json) {
        Json fields;
        fields["nets"] = Json::parse(text.data());
        return Report(session, inv.options, "nets", 0, fields);
    }
    const Json nets = Json::parse(text.data());
    for (const auto& net : nets["nets"])
        std::printf("%s: %s\n", net["name"].get<std::string>().c_str(),
                    Joined(net["terminals"].get<std::vector<std::string>>()).c_str());
    for (const auto& route : nets["routes"])
        std::printf("route %s\n", route.get<std::string>().c_str());
    return 0;
}

}  // namespace halvexctl
