#include <io.h>
#include <windows.h>

#include "console.h"

namespace halvexctl {

namespace {
// The console's handler reaches the program only through file-level state: the flag to set.
std::atomic<std::atomic<bool>*> gFlag{nullptr};
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (std::atomic<bool>* flag = gFlag.load())
        *flag = true;
    return TRUE;
}
}  // namespace

std::string Cp949ToUtf8(const std::string& text) {
    const int wide =
        MultiByteToWideChar(949, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wide <= 0)
        return text;
    std::wstring w(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(949, 0, text.data(), static_cast<int>(text.size()), &w[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, &out[0], bytes, nullptr, nullptr);
    return out;
}

void OnInterrupt(std::atomic<bool>* flag) {
    gFlag = flag;
    SetConsoleCtrlHandler(OnConsoleEvent, flag != nullptr ? TRUE : FALSE);
    SetConsoleOutputCP(CP_UTF8);
}

void ReleaseSeries(CardInfo* records) {
    HeapFree(GetProcessHeap(), 0, records);
}

void PauseMs(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

// The console's own line editing and history serve the shell.
std::unique_ptr<LineEditor> OpenLineEditor() {
    return nullptr;
}

}  // namespace halvexctl
