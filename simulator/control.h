// Control requests as a table: each verb with its arguments, its usage, its help text and the
// handler that answers it. Dispatch checks the slot and the argument count; help is printed
// from the same rows, so the two cannot disagree.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace halvex::sim {

// A request as its handler sees it: words[0] is the verb.
struct RequestArgs {
    std::string_view request;
    std::vector<Word> words;
    int slot = 0;  // for requests that name a slot first

    size_t count() const { return words.size() - 1; }
    std::string_view operator[](size_t i) const { return words[i].text; }
    // Everything after word `i` and the one blank that follows it.
    std::string_view RestAfter(size_t i) const;
};

// Answers a request; an empty answer means its arguments were wrong and its usage is the reply.
using RequestHandler = std::function<std::string(const RequestArgs&)>;

// Request::flags
constexpr unsigned kSlotFirst = 1;  // names a slot 1..16 first
constexpr unsigned kSetup = 2;      // may stand in a chassis description
constexpr int kAnyCount = -1;

struct Request {
    const char* verb;
    const char* args;  // as help shows them
    const char* help;  // lines apart by '\n'
    int minArgs = 0;   // words after the verb, the slot included
    int maxArgs = 0;   // or kAnyCount
    unsigned flags = 0;
    RequestHandler handler;       // none: not answered here
    const char* usage = nullptr;  // the usage error without "usage: "; default: verb and args
};

// A row without a handler yet: the process binds one to it.
Request Unbound(const char* verb, const char* args, const char* help, int minArgs = 0,
                int maxArgs = 0);

class RequestTable {
  public:
    RequestTable(std::vector<Request> rows, size_t helpWidth, std::string unknown);

    const Request* Find(std::string_view verb) const;
    // Hands a request of the table to a handler (for the requests the process answers itself).
    void Bind(std::string_view verb, RequestHandler handler);
    // The whole reply to one request line, each reply line ending in "\n".
    std::string Dispatch(std::string_view request) const;
    std::vector<std::string> HelpLines() const;

  private:
    std::vector<Request> rows_;
    size_t helpWidth_;
    std::string unknown_;
};

std::string Err(const std::string& reason);
// A multi-line reply: "OK <count>", then the lines.
std::string Listing(const std::vector<std::string>& lines);

}  // namespace halvex::sim
