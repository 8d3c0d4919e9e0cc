#include "device.h"

#include <string>

#include "halvex.h"
#include "output.h"
#include "parse.h"
#include "session.h"

namespace halvexctl {

namespace {

// A reply as the card sent it in JSON; on a terminal without the line end that closes it.
int DeviceText(const Session& session, const Invocation& inv, int32_t rc, const char* reply,
               int32_t length) {
    const std::string text = rc == kNoReply ? "" : reply;
    std::string shown = text;
    if (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    if (!shown.empty() && shown.back() == '\r')
        shown.pop_back();
    Json fields;
    fields["reply"] = text;
    fields["length"] = length;
    return Report(session, inv.options, Joined(inv.args), rc, fields, "  " + Visible(shown));
}

}  // namespace

int RunIdentify(Session& session, const Invocation& inv) {
    char reply[HALVEX_REPLY_MAX] = "";
    int32_t length = 0;
    const int32_t rc = QueryHalvexID(CardArg(inv), reply, &length);
    return DeviceText(session, inv, rc, reply, length);
}

int RunSelfTest(Session& session, const Invocation& inv) {
    const int32_t card = CardArg(inv);
    const std::string model = session.ModelOf(card);
    char reply[HALVEX_REPLY_MAX] = "";
    int32_t length = 0;
    int32_t rc;
    {
        Progress progress(
            "self-test of card " + std::to_string(card) + (model.empty() ? "" : " (" + model + ")"),
            SelfTestLimit(model));
        rc = SelfTestHalvex(card, reply, &length);
    }
    return DeviceText(session, inv, rc, reply, length);
}

int RunReset(Session& session, const Invocation& inv) {
    return Report(session, inv.options, Joined(inv.args), ResetHalvex(CardArg(inv)));
}

}  // namespace halvexctl
