#include <csignal>
#include <cstdlib>
#include <ctime>

#include <iconv.h>
#include <unistd.h>

#include "console.h"

namespace halvexctl {

namespace {
void (*gHandler)() = nullptr;
extern "C" void OnSignal(int) {
    if (gHandler != nullptr)
        gHandler();
}
}  // namespace

std::string Cp949ToUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return text;
    std::string out(text.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* dst = &out[0];
    size_t outLeft = out.size();
    const size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1))
        return text;
    out.resize(out.size() - outLeft);
    return out;
}

void OnInterrupt(void (*handler)()) {
    gHandler = handler;
    struct sigaction sa {};
    sa.sa_handler = handler != nullptr ? OnSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void ReleaseSeries(CardInfo* records) {
    std::free(records);
}

void PauseMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

}  // namespace halvexctl
