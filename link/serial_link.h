// One serial port: exclusive, raw 8N1, reads that never wait, writes that purge first.
// Waiting for input is separate (WaitReadable), one way on each platform.
#pragma once

#include <cstdint>
#include <memory>

#include "core/clock.h"

namespace halvex {

class SerialLink {
  public:
    SerialLink();
    // Releases the port if it is still held, so a forgotten link never leaks a handle.
    ~SerialLink();
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    // Opens the port for exclusive use at the given rate, 8 data bits, no parity, one stop bit.
    // A link that is already open is closed first; a failed open releases what it created.
    bool OpenPort(const char* portName, int32_t baudRate);
    // False only when the port handle could not be closed; then the link stays open.
    bool ClosePort();
    // Purges both directions of the port, then writes; true when every byte went out. Waits
    // first for a hold-off (see HoldOff) to run out.
    bool Write(const void* data, int32_t length);
    // Write without waiting for a hold-off, which stays in force for the next Write: for a
    // caller that asks again, after the line has settled, whatever it asked meanwhile.
    bool WriteNow(const void* data, int32_t length);
    // Delivers at most `capacity` of the bytes queued, without waiting. Bytes beyond the
    // capacity stay queued. False, with `length` and `dst` untouched, when nothing was queued.
    bool Read(uint8_t* dst, int32_t capacity, int32_t* length);
    // Sleeps until input is queued or `timeoutMs` has passed, instead of polling; true when
    // input is queued. On a closed link it sleeps the whole time and returns false. On Windows the
    // wait is a pending one-byte read: the byte it receives is held, and the next Read delivers it
    // first; the next Write purges it with the rest.
    bool WaitReadable(int32_t timeoutMs);
    bool IsOpen() const;
    // After an exchange that ended without a complete reply: the next Write first waits until
    // `guardMs` have passed, so that a late reply is on the port in time for its purge instead
    // of being taken for the next command's reply.
    void HoldOff(int32_t guardMs);
    // A hold-off is running: a late reply to an earlier exchange may still arrive.
    bool Settling() const;

    // The single transfers under Write and Read.
    int32_t WriteBytes(const void* data, int32_t length);
    int32_t ReadBytes(uint8_t* buffer, int32_t capacity);

    static constexpr int32_t kQueueSize = 8192;

  private:
    void WaitOutHoldOff();  // first thing of every Write

    struct State;
    std::unique_ptr<State> state_;
    int64_t holdOffUntil_ = 0;  // performance counter; 0: none
};

}  // namespace halvex
