// Win32 serial link: an overlapped COM port; a reader with nothing queued waits on a pending
// one-byte read, which every serial driver supports.
#include "link/serial_link.h"

#include <windows.h>

#include <string>

namespace halvex {

struct SerialLink::State {
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    HANDLE portHandle = INVALID_HANDLE_VALUE;
    uint8_t waitByte = 0;  // where the wait's one-byte read puts what it receives
    bool holding = false;  // waitByte came off the port and is the next byte to deliver
};

namespace {

void CloseEvent(HANDLE& event) {
    // Null after closing, so a retried close never closes a handle twice.
    if (event != nullptr)
        CloseHandle(event);
    event = nullptr;
}

void ClearErrors(HANDLE port) {
    DWORD dwErrorFlags = 0;
    COMSTAT comstat{};
    ClearCommError(port, &dwErrorFlags, &comstat);
}

// How long a read of bytes already queued may take before it is cancelled.
constexpr DWORD kQueuedReadBoundMs = 20;

// Waits for an overlapped transfer; a failure clears the port's error state.
DWORD Complete(HANDLE port, OVERLAPPED* overlapped) {
    DWORD count = 0;
    while (!GetOverlappedResult(port, overlapped, &count, TRUE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            ClearErrors(port);
            break;
        }
    }
    return count;
}

// From COM10 on, CreateFileA knows a port only by its device name, \\.\COM10; a name already
// in that form, COM1 to COM9 and anything else pass unchanged.
std::string DeviceName(const char* portName) {
    const std::string name(portName);
    if (name.size() < 5 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
        (name[2] | 0x20) != 'm')
        return name;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return name;
    }
    return "\\\\.\\" + name;
}

DWORD Queued(HANDLE port) {
    DWORD dwErrorFlags = 0;
    COMSTAT comstat{};
    return ClearCommError(port, &dwErrorFlags, &comstat) ? comstat.cbInQue : 0;
}

}  // namespace

SerialLink::SerialLink() : state_(new State) {
    ZeroMemory(&state_->readOverlapped, sizeof(OVERLAPPED));
    ZeroMemory(&state_->writeOverlapped, sizeof(OVERLAPPED));
}

SerialLink::~SerialLink() {
    if (state_->portHandle != INVALID_HANDLE_VALUE)
        ClosePort();
}

bool SerialLink::IsOpen() const {
    return state_->portHandle != INVALID_HANDLE_VALUE;
}

bool SerialLink::OpenPort(const char* portName, int32_t baudRate) {
    State& s = *state_;
    if (s.portHandle != INVALID_HANDLE_VALUE)
        ClosePort();
    if (portName == nullptr)
        return false;

    s.readOverlapped.Offset = s.readOverlapped.OffsetHigh = 0;
    s.readOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.writeOverlapped.Offset = s.writeOverlapped.OffsetHigh = 0;
    s.writeOverlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.holding = false;
    if (s.readOverlapped.hEvent != nullptr && s.writeOverlapped.hEvent != nullptr) {
        s.portHandle =
            CreateFileA(DeviceName(portName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (s.portHandle == INVALID_HANDLE_VALUE) {
        CloseEvent(s.readOverlapped.hEvent);
        CloseEvent(s.writeOverlapped.hEvent);
        return false;
    }

    SetCommMask(s.portHandle, EV_RXCHAR);
    SetupComm(s.portHandle, kQueueSize, kQueueSize);
    PurgeComm(s.portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // No read time-outs: a read completes once its count has arrived. ReadBytes never asks for
    // more than is queued, so it completes at once; the wait's one-byte read stays pending until
    // a byte comes, and its bound is the wait's, since not every driver ends a pending read on a
    // total time-out (Wine's never does on a pseudo-terminal).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    timeouts.WriteTotalTimeoutConstant = 300;
    SetCommTimeouts(s.portHandle, &timeouts);

    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(DCB);
    GetCommState(s.portHandle, &dcb);
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // Every reply ends in a line feed: a USB adapter that knows an event character sends what it
    // holds the moment that character arrives, instead of when its latency timer runs out.
    dcb.EvtChar = '\n';
    if (!SetCommState(s.portHandle, &dcb)) {
        // The settings were refused: give the port back rather than hold it unusable.
        ClosePort();
        return false;
    }
    return true;
}

bool SerialLink::ClosePort() {
    State& s = *state_;
    s.holding = false;
    SetCommMask(s.portHandle, 0);
    PurgeComm(s.portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (s.portHandle == INVALID_HANDLE_VALUE)
        return true;
    CloseEvent(s.readOverlapped.hEvent);
    CloseEvent(s.writeOverlapped.hEvent);
    if (!CloseHandle(s.portHandle))
        return false;
    s.portHandle = INVALID_HANDLE_VALUE;
    return true;
}

bool SerialLink::WriteNow(const void* data, int32_t length) {
    PurgeComm(state_->portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    state_->holding = false;  // a byte a wait received is input like the rest: purged with it
    return WriteBytes(data, length) == length;
}

int32_t SerialLink::WriteBytes(const void* data, int32_t length) {
    State& s = *state_;
    if (s.portHandle == INVALID_HANDLE_VALUE || length <= 0 || data == nullptr)
        return 0;
    DWORD dwWritten = 0;
    if (WriteFile(s.portHandle, data, static_cast<DWORD>(length), &dwWritten, &s.writeOverlapped)) {
        return static_cast<int32_t>(dwWritten);
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING || error == 0) {
        return static_cast<int32_t>(Complete(s.portHandle, &s.writeOverlapped));
    }
    ClearErrors(s.portHandle);
    return 0;
}

int32_t SerialLink::ReadBytes(uint8_t* buffer, int32_t capacity) {
    State& s = *state_;
    if (s.portHandle == INVALID_HANDLE_VALUE || capacity <= 0)
        return 0;
    int32_t held = 0;
    if (s.holding) {  // the byte a wait received arrived before everything queued
        buffer[0] = s.waitByte;
        s.holding = false;
        held = 1;
    }
    DWORD dwRead = Queued(s.portHandle);
    const DWORD room = static_cast<DWORD>(capacity - held);
    if (dwRead == 0 || room == 0)
        return held;
    // Ask for no more than is queued: with no read time-outs a longer read would stay pending
    // until its whole count arrived.
    const DWORD toRead = dwRead < room ? dwRead : room;
    if (ReadFile(s.portHandle, buffer + held, toRead, &dwRead, &s.readOverlapped)) {
        return held + static_cast<int32_t>(dwRead);
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        // Queued bytes come at once; a driver that reported more than it delivers must not
        // hold the caller for good, so what has come by the bound is what this read returns.
        if (WaitForSingleObject(s.readOverlapped.hEvent, kQueuedReadBoundMs) != WAIT_OBJECT_0)
            CancelIo(s.portHandle);
        return held + static_cast<int32_t>(Complete(s.portHandle, &s.readOverlapped));
    }
    ClearErrors(s.portHandle);
    return held;
}

bool SerialLink::WaitReadable(int32_t timeoutMs) {
    State& s = *state_;
    if (s.portHandle == INVALID_HANDLE_VALUE) {
        // A closed link never delivers: wait the time out idly, so a caller's poll loop
        // does not spin through its whole reply limit.
        SleepMs(timeoutMs);
        return false;
    }
    if (s.holding || Queued(s.portHandle) > 0)
        return true;
    if (timeoutMs <= 0)
        return false;
    DWORD count = 0;
    if (!ReadFile(s.portHandle, &s.waitByte, 1, &count, &s.readOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            // A port that refuses reads (hung up) cannot deliver a reply in this time: sleep it
            // out rather than try again back to back.
            ClearErrors(s.portHandle);
            SleepMs(timeoutMs);
            return Queued(s.portHandle) > 0;
        }
        if (WaitForSingleObject(s.readOverlapped.hEvent, static_cast<DWORD>(timeoutMs)) !=
            WAIT_OBJECT_0)
            CancelIo(s.portHandle);
        // The read is over before this returns, whether it completed or was cancelled: a read
        // left pending would take the next command's first byte, as a purge does not end it
        // everywhere (not under Wine). A byte that came as it was being cancelled is kept.
        if (!GetOverlappedResult(s.portHandle, &s.readOverlapped, &count, TRUE)) {
            if (GetLastError() != ERROR_OPERATION_ABORTED)
                ClearErrors(s.portHandle);
            count = 0;
        }
    }
    s.holding = count == 1;
    return s.holding || Queued(s.portHandle) > 0;
}

}  // namespace halvex
