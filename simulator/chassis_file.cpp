#include "chassis_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "channel.h"

namespace halvex::sim {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The request on one line, without its comment and without blanks at either end.
std::string_view StripLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) {
            line = line.substr(0, i);
            break;
        }
    }
    while (!line.empty() && IsBlank(line.back()))
        line.remove_suffix(1);
    while (!line.empty() && IsBlank(line.front()))
        line.remove_prefix(1);
    return line;
}

}  // namespace

bool ApplyChassisText(Chassis& chassis, const std::string& name, std::string_view text,
                      std::vector<std::string>* applied, std::string* error) {
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        size_t newline = text.find('\n');
        std::string_view raw = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        std::string_view request = StripLine(raw);
        if (request.empty())
            continue;
        auto fail = [&](const std::string& reason) {
            *error = name + ":" + std::to_string(lineNumber) + ": " + reason + ": " +
                     std::string(request);
            return false;
        };
        if (request.find('\0') != std::string_view::npos)
            return fail("NUL byte in line");
        const std::string verb(request.substr(0, request.find_first_of(" \t")));
        const Request* known = chassis.requests().Find(verb);
        if (known == nullptr)
            return fail("unknown request '" + verb + "'");
        if (!(known->flags & kSetup))
            return fail("'" + verb + "' is not a set-up request");
        std::string reply = chassis.Control(request);
        if (reply != "OK\n") {
            if (reply.rfind("ERR ", 0) == 0)
                reply.erase(0, 4);
            while (!reply.empty() && reply.back() == '\n')
                reply.pop_back();
            return fail(reply);
        }
        if (applied != nullptr)
            applied->emplace_back(request);
    }
    return true;
}

bool ApplyChassisFile(Chassis& chassis, const std::string& path, std::vector<std::string>* applied,
                      std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    const Channel::ReadResult result = Channel{fd, {}}.ReadAvailable(&text);
    const int readError = errno;
    close(fd);
    if (result == Channel::ReadResult::Failed) {
        *error = path + ": " + std::strerror(readError);
        return false;
    }
    return ApplyChassisText(chassis, path, text, applied, error);
}

}  // namespace halvex::sim
