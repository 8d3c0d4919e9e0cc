#include "control.h"

#include <algorithm>

namespace halvex::sim {

std::string_view RequestArgs::RestAfter(size_t i) const {
    const size_t start = words[i].end + 1;
    return start < request.size() ? request.substr(start) : std::string_view();
}

namespace {

// "card SLOT MODEL [IDTEXT]": the verb and its arguments.
std::string Head(const Request& row) {
    return row.verb + std::string(*row.args ? " " : "") + row.args;
}

}  // namespace

Request Unbound(const char* verb, const char* args, const char* help, int minArgs, int maxArgs) {
    return {verb, args, help, minArgs, maxArgs, 0, {}, nullptr};
}

std::string Err(const std::string& reason) {
    return "ERR " + reason + "\n";
}

std::string Listing(const std::vector<std::string>& lines) {
    std::string reply = "OK " + std::to_string(lines.size()) + "\n";
    for (const std::string& line : lines)
        reply += line + "\n";
    return reply;
}

RequestTable::RequestTable(std::vector<Request> rows, size_t helpWidth, std::string unknown)
    : rows_(std::move(rows)), helpWidth_(helpWidth), unknown_(std::move(unknown)) {}

const Request* RequestTable::Find(std::string_view verb) const {
    for (const Request& row : rows_) {
        if (verb == row.verb)
            return &row;
    }
    return nullptr;
}

void RequestTable::Bind(std::string_view verb, RequestHandler handler) {
    for (Request& row : rows_) {
        if (verb == row.verb)
            row.handler = std::move(handler);
    }
}

std::string RequestTable::Dispatch(std::string_view request) const {
    while (!request.empty() && (request.back() == '\r' || request.back() == '\n'))
        request.remove_suffix(1);
    RequestArgs args{request, SplitWords(request), 0};
    if (args.words.empty())
        return Err("empty request");
    const Request* row = Find(args[0]);
    if (row == nullptr || !row->handler)
        return Err(unknown_);
    if (row->flags & kSlotFirst) {
        long long slot = 0;
        if (args.count() < 1)
            return Err("missing slot");
        if (!ParseUnsigned(args[1], kSlotCount, &slot) || slot < 1)
            return Err("bad slot (1-16)");
        args.slot = static_cast<int>(slot);
    }
    const std::string usage = "usage: " + (row->usage ? std::string(row->usage) : Head(*row));
    const auto n = static_cast<int>(args.count());
    if (n < row->minArgs || (row->maxArgs >= 0 && n > row->maxArgs))
        return Err(usage);
    std::string reply = row->handler(args);
    return reply.empty() ? Err(usage) : reply;
}

std::vector<std::string> RequestTable::HelpLines() const {
    std::vector<std::string> lines;
    for (const Request& row : rows_) {
        std::string head = Head(row);
        head.resize(std::max(head.size() + 1, helpWidth_), ' ');
        std::string_view help = row.help;
        for (size_t start = 0; start <= help.size();) {
            const size_t end = std::min(help.find('\n', start), help.size());
            lines.push_back(head + std::string(help.substr(start, end - start)));
            head.assign(helpWidth_, ' ');
            start = end + 1;
        }
    }
    return lines;
}

}  // namespace halvex::sim
