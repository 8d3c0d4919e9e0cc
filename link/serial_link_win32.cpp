// Win32 serial link: an overlapped COM port with reads that return at once.
#include "link/serial_link.h"

#include <windows.h>

namespace halvex {

struct SerialLink::State {
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    HANDLE portHandle = INVALID_HANDLE_VALUE;
    HANDLE waitEvent = nullptr;  // for waiting on received characters
    bool cannotWait = false;     // the driver refused WaitCommEvent once; do not ask again
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
    s.waitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s.cannotWait = false;
    if (s.readOverlapped.hEvent != nullptr && s.writeOverlapped.hEvent != nullptr) {
        s.portHandle =
            CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    }
    if (s.portHandle == INVALID_HANDLE_VALUE) {
        CloseEvent(s.readOverlapped.hEvent);
        CloseEvent(s.writeOverlapped.hEvent);
        CloseEvent(s.waitEvent);
        return false;
    }

    SetCommMask(s.portHandle, EV_RXCHAR);
    SetupComm(s.portHandle, kQueueSize, kQueueSize);
    PurgeComm(s.portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with no totals: return at once with what is there
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
    if (!SetCommState(s.portHandle, &dcb)) {
        // The settings were refused: give the port back rather than hold it unusable.
        ClosePort();
        return false;
    }
    return true;
}

bool SerialLink::ClosePort() {
    State& s = *state_;
    SetCommMask(s.portHandle, 0);
    PurgeComm(s.portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (s.portHandle == INVALID_HANDLE_VALUE)
        return true;
    CloseEvent(s.readOverlapped.hEvent);
    CloseEvent(s.writeOverlapped.hEvent);
    CloseEvent(s.waitEvent);
    if (!CloseHandle(s.portHandle))
        return false;
    s.portHandle = INVALID_HANDLE_VALUE;
    return true;
}

bool SerialLink::Write(const void* data, int32_t length) {
    WaitOutHoldOff();
    PurgeComm(state_->portHandle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
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
    if (s.portHandle == INVALID_HANDLE_VALUE)
        return 0;
    DWORD dwErrorFlags = 0;
    COMSTAT comstat{};
    ClearCommError(s.portHandle, &dwErrorFlags, &comstat);
    DWORD dwRead = comstat.cbInQue;
    if (dwRead == 0)
        return 0;
    // Ask for no more than is queued: some serial drivers keep an overlapped read pending
    // until its whole count arrives, despite the return-at-once time-outs.
    const DWORD toRead = dwRead < static_cast<DWORD>(capacity) ? dwRead : capacity;
    if (ReadFile(s.portHandle, buffer, toRead, &dwRead, &s.readOverlapped)) {
        return static_cast<int32_t>(dwRead);
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        return static_cast<int32_t>(Complete(s.portHandle, &s.readOverlapped));
    }
    ClearErrors(s.portHandle);
    return 0;
}

namespace {

DWORD Queued(HANDLE port) {
    DWORD dwErrorFlags = 0;
    COMSTAT comstat{};
    return ClearCommError(port, &dwErrorFlags, &comstat) ? comstat.cbInQue : 0;
}

}  // namespace

bool SerialLink::WaitReadable(int32_t timeoutMs) {
    State& s = *state_;
    if (s.portHandle == INVALID_HANDLE_VALUE)
        return false;
    if (Queued(s.portHandle) > 0)
        return true;
    if (timeoutMs <= 0)
        return false;
    if (s.waitEvent == nullptr || s.cannotWait) {
        // A driver that cannot wait for characters (Wine's on a pseudo-terminal): pause
        // briefly rather than poll back to back.
        SleepMs(1);
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = s.waitEvent;
    ResetEvent(s.waitEvent);
    DWORD mask = 0;
    DWORD count = 0;
    if (!WaitCommEvent(s.portHandle, &mask, &overlapped)) {
        if (GetLastError() != ERROR_IO_PENDING) {
            s.cannotWait = true;
            SleepMs(1);
            return false;
        }
        if (WaitForSingleObject(s.waitEvent, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0)
            SetCommMask(s.portHandle, EV_RXCHAR);  // ends the pending wait
        if (!GetOverlappedResult(s.portHandle, &overlapped, &count, TRUE) &&
            GetLastError() != ERROR_OPERATION_ABORTED) {
            s.cannotWait = true;  // completed with an error: the driver cannot wait after all
        }
    }
    return Queued(s.portHandle) > 0;
}

int64_t PerfCounter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return v.QuadPart;
}

int64_t PerfFrequency() {
    LARGE_INTEGER v;
    QueryPerformanceFrequency(&v);
    return v.QuadPart;
}

void SleepMs(int32_t ms) {
    Sleep(ms <= 0 ? 0 : static_cast<DWORD>(ms));
}

}  // namespace halvex
