// The session: the command port, opened and discovered once for a command, a script or a shell,
// and the progress line shown on a terminal while a long call runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixture_commands.h"
#include "invocation.h"

namespace halvexctl {

// Elapsed seconds on standard error while a long call runs, only when it is a terminal; the
// line is wiped when the call returns, so nothing of it stays in the output.
class Progress {
  public:
    Progress(std::string label, double limitS);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

  private:
    void Tick();

    std::string label_;
    double limitS_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    int width_ = 0;
};

// The time a model's card may take for its self test, as the library waits for it; 0 for an
// unknown model.
double SelfTestLimit(const std::string& model);
// The model a card's identification names, as discovery registers it; "" for none.
std::string ModelIn(const char* idText);

class Session {
  public:
    explicit Session(std::string port, std::string fixture = "")
        : port_(std::move(port)), fixturePath_(std::move(fixture)) {}
    ~Session() { Close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const std::string& port() const { return port_; }
    bool IsOpen() const { return open_; }

    // Opens the port and discovers the cards, once: a port that failed is not tried again
    // for every later line of a script. The caller reports a failure's code.
    int32_t Open();
    // Closes the port and forgets the open, so the next command opens and discovers again.
    int32_t Forget();
    int32_t Close();

    // The slots discovery found cards in, in order.
    std::vector<int32_t> Slots() const;
    // The model designator of the card in `slot`, or "" when discovery found none there.
    std::string ModelOf(int32_t slot) const;
    // With a fixture file, the fixture layer that opened the port (after Open), else null; and
    // the reason of its last failure.
    FixtureHandle* fixture() const { return fixture_; }
    std::string FixtureError() const;

  private:
    std::string port_;
    std::string fixturePath_;
    FixtureHandle* fixture_ = nullptr;
    std::string fixtureLoadError_;
    bool open_ = false;
    bool tried_ = false;
    int32_t openResult_ = 0;
};

// Opens the session's port and reports a failure with what stands in the way.
int OpenReported(Session& session, const Options& o, const std::string& what);
// Runs one checked command in the session, opening the port on first need; a usage error is
// reported, not thrown.
int Execute(Session& session, const Invocation& inv);

}  // namespace halvexctl
