#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "docs.h"
#include "halvex.h"
#include "output.h"
#include "tables.h"

namespace halvexctl {

namespace {

struct ModelLimit {
    const char* model;
    double seconds;
};
const ModelLimit kSelfTestLimits[] = {{"X16", 15}, {"X48", 50}, {"Y48", 5}};

// The cards discovery found, released when it goes.
class Series {
  public:
    Series() { GetHalvexSeries(&records_, &count_); }
    ~Series() {
        if (records_ != nullptr)
            ReleaseSeries(records_);
    }
    Series(const Series&) = delete;
    Series& operator=(const Series&) = delete;
    const CardInfo* begin() const { return records_; }
    const CardInfo* end() const { return records_ + count_; }

  private:
    CardInfo* records_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace

Progress::Progress(std::string label, double limitS) : label_(std::move(label)), limitS_(limitS) {
    if (!IsTerminal(stderr))
        return;
    thread_ = std::thread([this] { Tick(); });
}

Progress::~Progress() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (width_ > 0)
        std::fprintf(stderr, "\r%*s\r", width_, "");
    std::fflush(stderr);
}

void Progress::Tick() {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    // The first half second stays quiet: most calls are over by then.
    while (!wake_.wait_for(lock, std::chrono::milliseconds(width_ == 0 ? 500 : 200),
                           [this] { return done_; })) {
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char text[256];
        if (limitS_ > 0) {
            std::snprintf(text, sizeof(text), "%s: %.1f s of at most %.0f s", label_.c_str(), s,
                          limitS_);
        } else {
            std::snprintf(text, sizeof(text), "%s: %.1f s", label_.c_str(), s);
        }
        const int n = static_cast<int>(std::strlen(text));
        std::fprintf(stderr, "\r%s%*s", text, width_ > n ? width_ - n : 0, "");
        std::fflush(stderr);
        width_ = std::max(width_, n);
    }
}

double SelfTestLimit(const std::string& model) {
    for (const ModelLimit& l : kSelfTestLimits) {
        if (model == l.model)
            return l.seconds;
    }
    return 0;
}

std::string ModelIn(const char* idText) {
    for (const ModelLimit& l : kSelfTestLimits) {
        if (std::strstr(idText, l.model) != nullptr)
            return l.model;
    }
    return "";
}

int32_t Session::Open() {
    if (tried_)
        return openResult_;
    tried_ = true;
    {
        Progress progress("discovering cards on " + port_ + " (slots 1-16)", 0);
        // A fixture opens the port itself, checks its cards and resets them.
        openResult_ = fixturePath_.empty()
                          ? OpenHalvex(port_.c_str())
                          : OpenFixture(fixturePath_, port_, &fixture_, &fixtureLoadError_);
    }
    open_ = openResult_ == 0;
    if (!open_)
        return openResult_;
    // Our open is exclusive, but one made before it is not undone and reads our replies.
    for (const std::string& who : PortSharers(port_)) {
        std::fprintf(stderr,
                     "halvexctl: warning: %s is also open in %s, which may take the cards' "
                     "replies\n",
                     port_.c_str(), who.c_str());
    }
    if (Slots().empty())
        openResult_ = kNoCard;
    return openResult_;
}

int32_t Session::Forget() {
    tried_ = false;
    return Close();
}

std::string Session::FixtureError() const {
    return fixture_ != nullptr ? FixtureLastError(fixture_) : fixtureLoadError_;
}

int32_t Session::Close() {
    FreeFixture(fixture_);
    fixture_ = nullptr;
    if (!open_)
        return 0;
    open_ = false;
    return CloseHalvex();
}

std::vector<int32_t> Session::Slots() const {
    std::vector<int32_t> slots;
    for (const CardInfo& card : Series())
        slots.push_back(card.cardNumber);
    return slots;
}

std::string Session::ModelOf(int32_t slot) const {
    std::string model;
    for (const CardInfo& card : Series()) {
        if (card.cardNumber == slot)
            model = ModelIn(card.idText);
    }
    return model;
}

int OpenReported(Session& session, const Options& o, const std::string& what) {
    const int32_t rc = session.Open();
    if (rc == 5)
        return Report(session, o, what, rc, Json::object(), "", PortOpenReason(session.port()));
    if (rc == kNoCard) {
        return Report(session, o, what, rc, Json::object(), "",
                      "check the port name (" + session.port() +
                          "), the cable, the chassis power, and that no other program uses the "
                          "port");
    }
    if (rc != 0)
        return Report(session, o, what, rc, Json::object(), "", session.FixtureError());
    return 0;
}

int Execute(Session& session, const Invocation& inv) {
    const Command* c = FindCommand(inv.args[0]);
    if (inv.help) {
        PrintHelp(c);
        return 0;
    }
    try {
        if (c->usesPort && !session.IsOpen() && !inv.help) {
            if (session.port().empty())
                throw UsageError{"no command port: give --port or set HALVEX_PORT", c->name};
            const int32_t rc = OpenReported(session, inv.options, "open port " + session.port());
            if (rc != 0)
                return rc;
        }
        return c->run(session, inv);
    } catch (const UsageError& e) {
        return ReportUsage(inv.options.json, Joined(inv.args), e);
    }
}

}  // namespace halvexctl
