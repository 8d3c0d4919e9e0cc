// The card objects: one class per model under a common base that owns the monitoring state.
#pragma once

#include <atomic>
#include <cstdint>

#include "cards/protocol.h"
#include "core/vocabulary.h"
#include "halvex.h"
#include "link/serial_link.h"
#include "monitor/signal_monitor.h"

namespace halvex {

constexpr int32_t kBaudRate = 115200;

// What sets one model's device commands apart from another's: its row of the vocabulary.
using ModelTraits = ModelInfo;

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

    // Ends a running monitor and releases the monitoring port, waiting for the worker to leave
    // unless that could mean waiting for ourselves (on a monitor's thread) or the platform
    // forbids it (unload under the loader lock). True when the worker may still run: the card
    // must then be kept until MonitorGone. Each model's destructor calls it first, while the
    // worker can still reach the whole object.
    bool StopMonitor();
    // As StopMonitor, for a card leaving the registry: Begin and Get refuse it from now on.
    bool RetireMonitor();
    // True when no worker runs any more (none started, or it has left).
    bool MonitorGone();

  protected:
    // The model versions of SelfTest, QueryID and Reset: the base sends, then the model's own
    // pause and time limit.
    int32_t SelfTestAs(const ModelTraits& model, char* reply, int32_t* replyLength);
    int32_t QueryIDAs(char* reply, int32_t* replyLength);
    int32_t ResetAs(const ModelTraits& model);

    // Pauses, then collects and classifies the reply on the command link within `limitMs`.
    int32_t Collect(int32_t pauseMs, int32_t limitMs, char* reply, int32_t* replyLength);
    // Sends a relay command and classifies its reply within the usual 50 ms; the text is dropped.
    int32_t Exchange(const char* command, int32_t pauseMs);
    // One relay command with the reply dropped; kParameterRangeError when the command would not
    // fit its line.
    int32_t SwitchMatrix(int32_t row, int32_t column, bool close, int32_t pauseMs);
    int32_t SwitchHiLo(int32_t row, int32_t lo, bool close, int32_t pauseMs);
    int32_t SwitchNumbered(int32_t group, int32_t relay, bool close);
    // A single relay: its group and fixed subcode.
    int32_t SwitchSingle(RelayId kind, bool close) {
        return SwitchNumbered(Relay(kind).group, Relay(kind).subcode, close);
    }
    // The polling loop shared by the models that report signal inputs.
    int32_t PollSignals();

    SerialLink* commandLink = nullptr;
    char idText[kIdTextSize];
    int32_t cardNumber;
    SignalCallback signalCallback = nullptr;
    double monitorInterval = 0.0;
    SerialLink monitorLink;
    std::atomic<int32_t> stopMonitoring{1};

  private:
    // One reading on the monitoring port: the command, its pauses, the first reply byte.
    // 1 with the byte, 0 when nothing came back, -1 when nothing came back and the command could
    // not be written either (the port has gone).
    int32_t ReadStatusByte(uint8_t* statusByte);

    SignalMonitor monitor_{monitorLink, stopMonitoring, signalCallback, monitorInterval};
};

// A model's device commands: the base sends, then the model's own pause and time limit.
template <const ModelTraits& Model>
class CHalvexModelCard : public CHalvexCardBase {
  public:
    using CHalvexCardBase::CHalvexCardBase;
    int32_t SelfTest(char* reply, int32_t* replyLength) override {
        return SelfTestAs(Model, reply, replyLength);
    }
    int32_t QueryID(char* reply, int32_t* replyLength) override {
        return QueryIDAs(reply, replyLength);
    }
    int32_t Reset() override { return ResetAs(Model); }
    bool CheckModel() override { return true; }
};

class CHalvexX16Card : public CHalvexModelCard<kX16Model> {
  public:
    using CHalvexModelCard::CHalvexModelCard;
    ~CHalvexX16Card() override { StopMonitor(); }
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

class CHalvexX48Card : public CHalvexModelCard<kX48Model> {
  public:
    using CHalvexModelCard::CHalvexModelCard;
    ~CHalvexX48Card() override { StopMonitor(); }
    int32_t MonitorSignals() override { return 1; }  // no signal inputs on this model

    int32_t SwitchRelayMatrix(int32_t row, int32_t column, bool close);
    int32_t SwitchRowHiLoMatrix(int32_t row, int32_t lo, bool close);
    int32_t SwitchPullUpRelay(bool close);
    int32_t SwitchPullDownRelay(bool close);
    int32_t SwitchTestProbeRelay(bool close);
    int32_t SwitchGndRelay(bool close);
};

class CHalvexY48Card : public CHalvexModelCard<kY48Model> {
  public:
    using CHalvexModelCard::CHalvexModelCard;
    ~CHalvexY48Card() override { StopMonitor(); }
    int32_t MonitorSignals() override { return PollSignals(); }

    int32_t SwitchGPRelay(int32_t relay, bool close);
    int32_t SwitchExtGPRelay(int32_t relay, bool close);
};

}  // namespace halvex
