// A halvexctl without the fixture layer (today halvexctl.exe): its commands say so clearly.
#include "fixture_commands.h"

#include "output.h"
#include "session.h"

namespace halvexctl {

namespace {

constexpr int32_t kFixtureFileError = 11;
const char* const kMissing = "this halvexctl was built without the fixture layer";

int Missing(Session& session, const Invocation& inv) {
    return Report(session, inv.options, Joined(inv.args), kFixtureFileError, Json::object(), "",
                  kMissing);
}

void NeedFixture(const Invocation& inv) {
    throw UsageError{kMissing, inv.args[0]};
}

}  // namespace

int32_t OpenFixture(const std::string&, const std::string&, FixtureHandle**, std::string* error) {
    *error = kMissing;
    return kFixtureFileError;
}
void FreeFixture(FixtureHandle*) {}
std::string FixtureLastError(FixtureHandle*) {
    return kMissing;
}
int32_t FixtureSwitch(FixtureHandle*, bool, const std::string&) {
    return kFixtureFileError;
}

void CheckTwoNets(const Invocation& inv) {
    NeedFixture(inv);
}
void CheckRoutes(const Invocation& inv) {
    NeedFixture(inv);
}
void CheckOperation(const Invocation& inv) {
    NeedFixture(inv);
}
void CheckFixtureOnly(const Invocation& inv) {
    NeedFixture(inv);
}
int RunConnect(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunDisconnect(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunApply(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunRelease(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunCheck(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunNets(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunState(Session& s, const Invocation& i) {
    return Missing(s, i);
}
int RunDisconnectAll(Session& s, const Invocation& i) {
    return Missing(s, i);
}

}  // namespace halvexctl
