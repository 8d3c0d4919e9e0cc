// The card objects: one class per model under a common base that owns the monitoring state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "halvex.h"
#include "link/serial_link.h"
#include "monitor/worker_thread.h"

namespace halvex {

constexpr int32_t kCommandBufferSize = 30;  // 29 characters with the line feed, and the NUL
constexpr int32_t kIdTextSize = 128;
constexpr int32_t kBaudRate = 115200;

class CHalvexCardBase {
  public:
    // Keeps at most 127 characters of the identification text.
    CHalvexCardBase(int cardNumber, const char* idText);
    virtual ~CHalvexCardBase();
    CHalvexCardBase(const CHalvexCardBase&) = delete;
    CHalvexCardBase& operator=(const CHalvexCardBase&) = delete;

    // The base versions only send the command and report whether every byte went out; the
    // model versions pause, collect the reply and return its result code.
    virtual int32_t SelfTest(char* reply, int32_t* replyLength);
    virtual int32_t QueryID(char* reply, int32_t* replyLength);
    virtual int32_t SendPhotoCommand();
    virtual int32_t Reset();
    virtual int32_t BeginSignalMonitoring(const char* port, double intervalSeconds,
                                          SignalCallback callback);
    virtual int32_t EndSignalMonitoring();
    virtual int32_t GetSignalMonitoringData(const char* port, int32_t* value);
    virtual bool CheckModel() = 0;
    virtual int32_t MonitorSignals() = 0;

    void SetLink(SerialLink* link) { commandLink = link; }
    const char* GetIdText() const { return idText; }
    int GetCardNumber() const { return cardNumber; }
    bool SendCommand(const char* command);
    bool SendMonitorCommand(const char* command);

  protected:
    // Pauses, then collects and classifies the reply on the command link within `limitMs`.
    int32_t Collect(int32_t pauseMs, int32_t limitMs, char* reply, int32_t* replyLength);
    // Sends a relay command and classifies its reply within the usual 50 ms; the text is dropped.
    int32_t Exchange(const char* command, int32_t pauseMs);
    // One relay command with the reply dropped; 3 when the command would not fit its line.
    int32_t SwitchMatrix(int32_t row, int32_t column, bool close, int32_t pauseMs);
    int32_t SwitchHiLo(int32_t row, int32_t lo, bool close, int32_t pauseMs);
    int32_t SwitchNumbered(int32_t group, int32_t relay, bool close);
    // The polling loop shared by the models that report signal inputs.
    int32_t PollSignals();
    // Ends a running monitor, waiting for its worker, and releases the monitoring port. Each
    // model's destructor calls it first, while the worker can still reach the whole object.
    void StopMonitor();

    SerialLink* commandLink = nullptr;
    char idText[kIdTextSize];
    int32_t cardNumber;
    SignalCallback signalCallback = nullptr;
    double monitorInterval = 0.0;
    SerialLink monitorLink;
    std::atomic<int32_t> stopMonitoring{1};

  private:
    static void MonitorEntry(void* card);
    void RequestStop();
    // Waits for a worker that was asked to stop; false if one is still monitoring.
    bool ReapStoppedWorker();

    std::mutex monitorMutex_;  // Begin, End, Get and the destructor against each other
    std::mutex wakeMutex_;     // the worker's pause against End
    std::condition_variable wake_;
    WorkerThread worker_;
    bool closeOnExit_ = false;  // End was called by the worker itself, from the callback
};

class CHalvexX16Card : public CHalvexCardBase {
  public:
    using CHalvexCardBase::CHalvexCardBase;
    ~CHalvexX16Card() override { StopMonitor(); }
    int32_t SelfTest(char* reply, int32_t* replyLength) override;
    int32_t QueryID(char* reply, int32_t* replyLength) override;
    int32_t Reset() override;
    bool CheckModel() override { return true; }
    int32_t MonitorSignals() override { return PollSignals(); }

    int32_t SwitchRelayMatrix(int32_t row, int32_t column, bool close);
    int32_t SwitchRowHiLoMatrix(int32_t row, int32_t lo, bool close);
    int32_t SwitchGPRelay(int32_t relay, bool close);
    int32_t SwitchExtGPRelay(int32_t relay, bool close);
    int32_t SwitchPsRelay(int32_t relay, bool close);
    int32_t SwitchDischargeRelay(int32_t relay, bool close);
    int32_t SwitchPullUpRelay(bool close);
    int32_t SwitchPullDownRelay(bool close);
    int32_t SwitchTestProbeRelay(bool close);
    int32_t SwitchGndRelay(bool close);
};

class CHalvexX48Card : public CHalvexCardBase {
  public:
    using CHalvexCardBase::CHalvexCardBase;
    ~CHalvexX48Card() override { StopMonitor(); }
    int32_t SelfTest(char* reply, int32_t* replyLength) override;
    int32_t QueryID(char* reply, int32_t* replyLength) override;
    int32_t Reset() override;
    bool CheckModel() override { return true; }
    int32_t MonitorSignals() override { return 1; }  // no signal inputs on this model

    int32_t SwitchRelayMatrix(int32_t row, int32_t column, bool close);
    int32_t SwitchRowHiLoMatrix(int32_t row, int32_t lo, bool close);
    int32_t SwitchPullUpRelay(bool close);
    int32_t SwitchPullDownRelay(bool close);
    int32_t SwitchTestProbeRelay(bool close);
    int32_t SwitchGndRelay(bool close);
};

class CHalvexY48Card : public CHalvexCardBase {
  public:
    using CHalvexCardBase::CHalvexCardBase;
    ~CHalvexY48Card() override { StopMonitor(); }
    int32_t SelfTest(char* reply, int32_t* replyLength) override;
    int32_t QueryID(char* reply, int32_t* replyLength) override;
    int32_t Reset() override;
    bool CheckModel() override { return true; }
    int32_t MonitorSignals() override { return PollSignals(); }

    int32_t SwitchGPRelay(int32_t relay, bool close);
    int32_t SwitchExtGPRelay(int32_t relay, bool close);
};

}  // namespace halvex
