// The fixture layer's commands: nets, routes and interlocks from a fixture file (--fixture),
// and the relay commands passed through its interlock when a fixture is given.
#pragma once

#include <cstdint>
#include <string>

#include "invocation.h"

namespace halvexctl {

class Session;
struct FixtureHandle;

// Loads the fixture file and opens the port through it (its cards checked, reset if it says
// so): the result code, and on a failure the reason in `error` with nothing held.
int32_t OpenFixture(const std::string& path, const std::string& port, FixtureHandle** fixture,
                    std::string* error);
void FreeFixture(FixtureHandle* fixture);
std::string FixtureLastError(FixtureHandle* fixture);
// A relay through the interlock: "close" or "open" of "3:matrix:5:7".
int32_t FixtureSwitch(FixtureHandle* fixture, bool close, const std::string& relay);

void CheckTwoNets(const Invocation& inv);
void CheckRoutes(const Invocation& inv);
void CheckOperation(const Invocation& inv);
void CheckFixtureOnly(const Invocation& inv);
int RunConnect(Session& session, const Invocation& inv);
int RunDisconnect(Session& session, const Invocation& inv);
int RunApply(Session& session, const Invocation& inv);
int RunRelease(Session& session, const Invocation& inv);
int RunCheck(Session& session, const Invocation& inv);
int RunNets(Session& session, const Invocation& inv);
int RunState(Session& session, const Invocation& inv);
int RunDisconnectAll(Session& session, const Invocation& inv);

}  // namespace halvexctl
