// The reply line fed a fuzzed byte stream in fuzzed chunks: it never holds more than 255
// characters, stops at the first line feed, and classifies exactly what it handed out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cards/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    halvex::ReplyLine line;
    size_t pos = 0;
    size_t fed = 0;
    // Each chunk: one byte giving its length (0-63), then that many bytes of the stream.
    while (pos < size && !line.Complete()) {
        const size_t want = data[pos++] & 63;
        const size_t count = want < size - pos ? want : size - pos;
        const int32_t room = line.Room();
        const int32_t take =
            static_cast<int32_t>(count) < room ? static_cast<int32_t>(count) : room;
        line.Take(data + pos, take);
        fed += static_cast<size_t>(take);
        pos += count;
    }
    char reply[halvex::kReplyBufferSize + 1];
    std::memset(reply, 0x5a, sizeof(reply));
    int32_t length = -1;
    const int32_t code = halvex::FinishReply(line, reply, &length);
    if (code == 4) {
        if (fed != 0 || length != -1 || reply[0] != 0x5a)
            std::abort();
        return 0;
    }
    if (length < 1 || length > 255 || static_cast<size_t>(length) > fed)
        std::abort();
    if (reply[halvex::kReplyBufferSize] != 0x5a)
        std::abort();  // never past the buffer
    const size_t text = std::strlen(reply);
    if (text > static_cast<size_t>(length))
        std::abort();
    const char* lf = static_cast<const char*>(std::memchr(reply, '\n', text));
    if (lf != nullptr && lf != reply + text - 1)
        std::abort();  // nothing after a line feed
    if (code != halvex::ClassifyReply(reply) || code < 0 || code > 3)
        std::abort();
    return 0;
}
