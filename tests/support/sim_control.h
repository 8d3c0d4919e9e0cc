// The simulated chassis's control channel as a line protocol: one request line, one reply line,
// and for "OK <count>" replies that many lines more. POSIX sockets and winsock alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace halvex_test {

class ControlChannel {
  public:
    // A time-out of kForever waits until a line comes or the channel closes.
    static constexpr int kForever = -1;

    ControlChannel() = default;
    ~ControlChannel() { Close(); }
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // "127.0.0.1:4567", or (POSIX) the path of a serial line carrying the channel; false with
    // the reason in `error`.
    bool Connect(const std::string& hostPort, std::string* error = nullptr);
    // The loopback address at this port.
    bool Connect(int port, std::string* error = nullptr);
    void Close();
    bool IsOpen() const { return socket_ != kNoSocket; }

    // Every byte, or false.
    bool Send(std::string_view bytes);
    // The next line exactly as sent, without its "\n"; false on time-out or when the channel is
    // closed.
    bool ReadLine(std::string* line, int timeoutMs);
    // The lines that follow a reply "OK <count>" (none for any other reply); false if one did
    // not come, with those that did in `lines`.
    bool ReadListing(const std::string& reply, std::vector<std::string>* lines, int timeoutMs);

    // How many lines a reply "OK <count>" announces; -1 for any other reply.
    static int ListingSize(const std::string& reply);

  private:
    static constexpr intptr_t kNoSocket = -1;
    long Out(const char* bytes, size_t size);
    long In(char* buffer, size_t size);

    intptr_t socket_ = kNoSocket;
    bool isLine_ = false;  // socket_ is a tty's descriptor
    std::string buffered_;
};

// One "log" entry, "<port> <hex>": the port ("cmd", "mon01".."mon16") and the line's bytes
// exactly as received, line feed included.
struct LogEntry {
    std::string port;
    std::string bytes;
};
LogEntry DecodeLogEntry(const std::string& line);

std::string Hex(const std::string& bytes);
std::string Unhex(const std::string& hex);

}  // namespace halvex_test
