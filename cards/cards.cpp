// Device-level and relay commands of the three card models.
#include "cards/cards.h"

#include <cstdio>
#include <cstring>

#include "core/result_codes.h"

namespace halvex {

namespace {

constexpr int32_t kPauseMs = 10;
constexpr int32_t kPhotoPauseMs = 10;
constexpr int32_t kMonitorBufferSize = 256;

// The three device commands carry only the card number.
bool SendDeviceCommand(CHalvexCardBase& card, DeviceCommand which) {
    char command[kCommandBufferSize];
    FormatDeviceCommand(command, sizeof(command), which, card.GetCardNumber());
    return card.SendCommand(command);
}

}  // namespace

CHalvexCardBase::CHalvexCardBase(int number, const char* text) : cardNumber(number) {
    std::memset(idText, 0, sizeof(idText));
    if (text != nullptr)
        std::strncpy(idText, text, sizeof(idText) - 1);
}

bool CHalvexCardBase::SendCommand(const char* command) {
    if (commandLink == nullptr)
        return false;
    const int32_t length = static_cast<int32_t>(std::strlen(command));
    return commandLink->Write(command, length);
}

int32_t CHalvexCardBase::SelfTest(char*, int32_t*) {
    return SendDeviceCommand(*this, DeviceCommand::kSelfTest) ? 1 : 0;
}

int32_t CHalvexCardBase::QueryID(char*, int32_t*) {
    return SendDeviceCommand(*this, DeviceCommand::kIdentify) ? 1 : 0;
}

int32_t CHalvexCardBase::Reset() {
    return SendDeviceCommand(*this, DeviceCommand::kReset) ? 1 : 0;
}

int32_t CHalvexCardBase::Collect(int32_t pauseMs, int32_t limitMs, char* reply,
                                 int32_t* replyLength) {
    SleepMs(pauseMs);
    if (commandLink == nullptr)
        return kNoReply;
    return ReadReplyWithin(*commandLink, limitMs, reply, replyLength);
}

int32_t CHalvexCardBase::Exchange(const char* command, int32_t pauseMs) {
    SendCommand(command);  // a lost command shows up as a missing reply
    return Collect(pauseMs, kDefaultReplyLimitMs, nullptr, nullptr);
}

int32_t CHalvexCardBase::SwitchMatrix(int32_t row, int32_t column, bool close, int32_t pauseMs) {
    char command[kCommandBufferSize];
    if (!FormatRelayCommand(command, sizeof(command), close, cardNumber, row, column))
        return kParameterRangeError;
    return Exchange(command, pauseMs);
}

int32_t CHalvexCardBase::SwitchHiLo(int32_t row, int32_t lo, bool close, int32_t pauseMs) {
    char command[kCommandBufferSize];
    if (!FormatHiLoCommand(command, sizeof(command), close, cardNumber, row, lo))
        return kParameterRangeError;
    return Exchange(command, pauseMs);
}

int32_t CHalvexCardBase::SwitchNumbered(int32_t group, int32_t relay, bool close) {
    char command[kCommandBufferSize];
    if (!FormatRelayCommand(command, sizeof(command), close, cardNumber, group, relay))
        return kParameterRangeError;
    return Exchange(command, kPauseMs);
}

int32_t CHalvexCardBase::SelfTestAs(const ModelTraits& model, char* reply, int32_t* replyLength) {
    CHalvexCardBase::SelfTest(reply, replyLength);
    return Collect(kPauseMs, model.selfTestLimitMs, reply, replyLength);
}

int32_t CHalvexCardBase::QueryIDAs(char* reply, int32_t* replyLength) {
    CHalvexCardBase::QueryID(reply, replyLength);
    return Collect(kPauseMs, kDefaultReplyLimitMs, reply, replyLength);
}

int32_t CHalvexCardBase::ResetAs(const ModelTraits& model) {
    CHalvexCardBase::Reset();
    return Collect(model.resetPauseMs, kDefaultReplyLimitMs, nullptr, nullptr);  // text dropped
}

// Relays. The X48 reads its matrix replies at once; everything else pauses 10 ms first.

int32_t CHalvexX16Card::SwitchRelayMatrix(int32_t row, int32_t column, bool close) {
    return SwitchMatrix(row, column, close, kPauseMs);
}
int32_t CHalvexX16Card::SwitchRowHiLoMatrix(int32_t row, int32_t lo, bool close) {
    return SwitchHiLo(row, lo, close, kPauseMs);
}
int32_t CHalvexX16Card::SwitchGPRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kGP).group, relay, close);
}
int32_t CHalvexX16Card::SwitchExtGPRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kExtGP).group, relay, close);
}
int32_t CHalvexX16Card::SwitchPsRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kPs).group, relay, close);
}
int32_t CHalvexX16Card::SwitchDischargeRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kDischarge).group, relay, close);
}
int32_t CHalvexX16Card::SwitchPullUpRelay(bool close) {
    return SwitchSingle(RelayId::kPullUp, close);
}
int32_t CHalvexX16Card::SwitchPullDownRelay(bool close) {
    return SwitchSingle(RelayId::kPullDown, close);
}
int32_t CHalvexX16Card::SwitchTestProbeRelay(bool close) {
    return SwitchSingle(RelayId::kTestProbe, close);
}
int32_t CHalvexX16Card::SwitchGndRelay(bool close) {
    return SwitchSingle(RelayId::kGround, close);
}

int32_t CHalvexX48Card::SwitchRelayMatrix(int32_t row, int32_t column, bool close) {
    return SwitchMatrix(row, column, close, 0);
}
int32_t CHalvexX48Card::SwitchRowHiLoMatrix(int32_t row, int32_t lo, bool close) {
    return SwitchHiLo(row, lo, close, 0);
}
int32_t CHalvexX48Card::SwitchPullUpRelay(bool close) {
    return SwitchSingle(RelayId::kPullUp, close);
}
int32_t CHalvexX48Card::SwitchPullDownRelay(bool close) {
    return SwitchSingle(RelayId::kPullDown, close);
}
int32_t CHalvexX48Card::SwitchTestProbeRelay(bool close) {
    return SwitchSingle(RelayId::kTestProbe, close);
}
int32_t CHalvexX48Card::SwitchGndRelay(bool close) {
    return SwitchSingle(RelayId::kGround, close);
}

int32_t CHalvexY48Card::SwitchGPRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kGP).group, relay, close);
}
int32_t CHalvexY48Card::SwitchExtGPRelay(int32_t relay, bool close) {
    return SwitchNumbered(Relay(RelayId::kExtGP).group, relay, close);
}

// Monitoring: the card's poll cycle and single reads; the monitor it owns runs the worker.

CHalvexCardBase::~CHalvexCardBase() {
    StopMonitor();
}

bool CHalvexCardBase::SendMonitorCommand(const char* command) {
    const bool ok = monitorLink.Write(command, static_cast<int32_t>(std::strlen(command)));
    SleepMs(kPhotoPauseMs);
    return ok;
}

int32_t CHalvexCardBase::SendPhotoCommand() {
    char chPhotoCommand[kCommandBufferSize];
    FormatDeviceCommand(chPhotoCommand, sizeof(chPhotoCommand), DeviceCommand::kPhoto, cardNumber);
    return SendMonitorCommand(chPhotoCommand) ? 1 : 0;
}

int32_t CHalvexCardBase::ReadStatusByte(uint8_t* statusByte) {
    const bool sent = SendPhotoCommand() != 0;
    SleepMs(kPhotoPauseMs);
    uint8_t retBuff[kMonitorBufferSize];
    int32_t iBuffLength = 0;
    monitorLink.Read(retBuff, kMonitorBufferSize, &iBuffLength);
    if (iBuffLength <= 0)
        return sent ? 0 : -1;
    *statusByte = retBuff[0];
    return 1;
}

int32_t CHalvexCardBase::PollSignals() {
    while (stopMonitoring.load() == 0) {
        // A port that went away (adapter unplugged, far side closed) is closed and tried again
        // each cycle, so the readings resume when it comes back; meanwhile nothing is delivered.
        if (!monitorLink.IsOpen())
            monitorLink.OpenPort(monitor_.Port().c_str(), kBaudRate);
        uint8_t statusByte = 0;
        int32_t got = -1;
        if (monitorLink.IsOpen())
            got = ReadStatusByte(&statusByte);
        if (got < 0) {
            monitorLink.ClosePort();
            SleepMs(2 * kPhotoPauseMs);  // the cycle keeps its length without a port
        }
        if (got > 0) {
            SignalStatus signalStatus[kSignalChannels];
            DecodeSignalStatus(statusByte, signalStatus);
            if (!monitor_.Deliver(signalStatus, kSignalChannels))
                break;
        }
        monitor_.Pause();
    }
    return 0;
}

int32_t CHalvexCardBase::BeginSignalMonitoring(const char* port, double intervalSeconds,
                                               SignalCallback callback) {
    if (callback == nullptr)
        return kParameterRangeError;
    return monitor_.Begin(port, kBaudRate, intervalSeconds, callback, [this] { MonitorSignals(); });
}

int32_t CHalvexCardBase::EndSignalMonitoring() {
    return monitor_.End();
}

int32_t CHalvexCardBase::GetSignalMonitoringData(const char* port, int32_t* value) {
    return monitor_.WithPort(port, kBaudRate, [&] {
        uint8_t statusByte = 0;
        const bool read = ReadStatusByte(&statusByte) > 0;
        if (read && value != nullptr)
            *value = statusByte;
        return read ? kSuccess : kNoReply;
    });
}

bool CHalvexCardBase::StopMonitor() {
    return monitor_.Stop();
}

bool CHalvexCardBase::RetireMonitor() {
    return monitor_.Retire();
}

bool CHalvexCardBase::MonitorGone() {
    return monitor_.Gone();
}

}  // namespace halvex
