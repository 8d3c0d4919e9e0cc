#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cwchar>

#include <fcntl.h>
#include <histedit.h>
#include <iconv.h>
#include <poll.h>
#include <unistd.h>

#include "console.h"

namespace halvexctl {

namespace {

// A signal handler reaches the program only through file-level state: the flag that Ctrl-C
// sets and, while the line editor waits for a key, the pipe that wakes it.
std::atomic<std::atomic<bool>*> gFlag{nullptr};
std::atomic<int> gWakeFd{-1};

extern "C" void OnSignal(int) {
    const int saved = errno;
    if (std::atomic<bool>* flag = gFlag.load())
        *flag = true;
    const int fd = gWakeFd.load();
    if (fd >= 0) {
        const char byte = 0;
        const ssize_t ignored = write(fd, &byte, 1);  // a full pipe has woken the editor already
        (void)ignored;
    }
    errno = saved;
}

void Catch(std::atomic<bool>* flag, int wakeFd) {
    gFlag = flag;
    gWakeFd = wakeFd;
    struct sigaction sa {};
    sa.sa_handler = flag != nullptr ? OnSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

// libedit, reading the keys itself so that Ctrl-C ends the wait for one whenever it comes.
class Libedit final : public LineEditor {
  public:
    Libedit() {
        // Keys are decoded in the terminal's character set, as libedit's own reading does.
        std::setlocale(LC_CTYPE, "");
        if (pipe(wake_) == 0) {
            for (int fd : wake_) {
                fcntl(fd, F_SETFD, FD_CLOEXEC);
                fcntl(fd, F_SETFL, O_NONBLOCK);
            }
        }
        history_ = history_init();
        HistEvent event;
        history(history_, &event, H_SETSIZE, 1000);
        history(history_, &event, H_SETUNIQUE, 1);
        editor_ = el_init("halvexctl", stdin, stdout, stderr);
        el_set(editor_, EL_CLIENTDATA, this);
        el_set(editor_, EL_PROMPT, &Libedit::Prompt);
        el_set(editor_, EL_EDITOR, "emacs");
        el_set(editor_, EL_HIST, history, history_);
        el_set(editor_, EL_GETCFN, &Libedit::ReadKey);
        el_source(editor_, nullptr);  // the user's ~/.editrc
    }
    ~Libedit() override {
        el_end(editor_);
        history_end(history_);
        for (int fd : wake_) {
            if (fd >= 0)
                close(fd);
        }
    }
    Libedit(const Libedit&) = delete;
    Libedit& operator=(const Libedit&) = delete;

    Typed Read(const std::string& prompt, std::string& line) override {
        prompt_ = prompt;
        char byte;
        while (wake_[0] >= 0 && read(wake_[0], &byte, 1) == 1) {
        }
        interrupted_ = false;
        Catch(&interrupted_, wake_[1]);
        // The terminal leaves cooked mode before the prompt shows: keys typed at once are the
        // editor's, not echoed by the terminal.
        el_set(editor_, EL_PREP_TERM, 1);
        int count = 0;
        const char* got = el_gets(editor_, &count);
        el_set(editor_, EL_PREP_TERM, 0);
        Catch(nullptr, -1);
        if (got == nullptr || count <= 0) {
            if (!interrupted_)
                return Typed::kEnd;
            std::fputs("^C", stdout);  // the terminal in the editor's mode does not echo it
            return Typed::kInterrupted;
        }
        line.assign(got, static_cast<size_t>(count));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos) {
            HistEvent event;
            history(history_, &event, H_ENTER, line.c_str());
        }
        return Typed::kLine;
    }

  private:
    static Libedit& Of(EditLine* editor) {
        void* self = nullptr;
        el_get(editor, EL_CLIENTDATA, &self);
        return *static_cast<Libedit*>(self);
    }
    static char* Prompt(EditLine* editor) { return &Of(editor).prompt_[0]; }
    static int ReadKey(EditLine* editor, wchar_t* key) { return Of(editor).NextKey(*key); }

    // 1 with the next key, 0 at the end of input, -1 for Ctrl-C or an error.
    int NextKey(wchar_t& key) {
        std::mbstate_t state{};
        for (;;) {
            pollfd fds[] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            const int ready = interrupted_ ? 0 : poll(fds, wake_[0] >= 0 ? 2 : 1, -1);
            if (ready < 0 && errno == EINTR && !interrupted_)
                continue;
            if (ready < 0)
                return -1;
            if (interrupted_ || fds[1].revents != 0) {
                errno = EINTR;
                return -1;
            }
            char byte;
            const ssize_t n = read(STDIN_FILENO, &byte, 1);
            if (n == 0)
                return 0;
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n < 0)
                return -1;
            const size_t used = std::mbrtowc(&key, &byte, 1, &state);
            if (used == static_cast<size_t>(-2))
                continue;  // more bytes of one character
            if (used == static_cast<size_t>(-1)) {
                state = std::mbstate_t{};  // not a character in this locale: dropped
                continue;
            }
            return 1;
        }
    }

    EditLine* editor_ = nullptr;
    History* history_ = nullptr;
    int wake_[2] = {-1, -1};
    std::string prompt_;
    std::atomic<bool> interrupted_{false};
};

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

void OnInterrupt(std::atomic<bool>* flag) {
    Catch(flag, -1);
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

std::unique_ptr<LineEditor> OpenLineEditor() {
    if (!IsTerminal(stdin) || !IsTerminal(stdout))
        return nullptr;
    return std::make_unique<Libedit>();
}

}  // namespace halvexctl
