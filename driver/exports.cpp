// The 49 exports. Names per build: the build makes the module-definition files (Windows) and
// the version script (Linux) from export_table.inc; the functions are the same in every build.
#if !defined(_WIN32)
#pragma GCC visibility push(default)
#endif
#include "halvex.h"
#if !defined(_WIN32)
#pragma GCC visibility pop
#endif

#include "driver/controller.h"
#include "core/messages.h"
#include "driver/export_frame.h"

using namespace halvex;

#if defined(_WIN32)
#define HALVEX_EXPORTED extern "C"
#else
#define HALVEX_EXPORTED extern "C" __attribute__((visibility("default")))
#endif

HALVEX_EXPORTED int32_t HALVEX_API OpenHalvex(const char* portName) {
    ControllerCall call;
    DriverController* controller = call.get();
    return controller != nullptr ? controller->Open(portName) : kPortOpenError;
}

HALVEX_EXPORTED int32_t HALVEX_API CloseHalvex(void) {
    ControllerCall call;
    DriverController* controller = call.get();
    return controller != nullptr ? controller->Close() : kSuccess;
}

HALVEX_EXPORTED int32_t HALVEX_API GetHalvexSeries(CardInfo** records, int32_t* count) {
    ControllerCall call;
    DriverController* controller = call.get();
    return controller != nullptr ? controller->ListCards(records, count) : kSuccess;
}

HALVEX_EXPORTED int32_t HALVEX_API GetHalvexErrorInfo(int32_t code, char* buffer,
                                                      int32_t bufferSize) {
    CopyErrorMessage(code, buffer, bufferSize);
    return kSuccess;
}

HALVEX_EXPORTED int32_t HALVEX_API SelfTestHalvex(int32_t cardNumber, char* reply,
                                                  int32_t* replyLength) {
    return OnCard<CHalvexCardBase>(
        cardNumber, [&](CHalvexCardBase& c) { return c.SelfTest(reply, replyLength); });
}

HALVEX_EXPORTED int32_t HALVEX_API QueryHalvexID(int32_t cardNumber, char* reply,
                                                 int32_t* replyLength) {
    return OnCard<CHalvexCardBase>(
        cardNumber, [&](CHalvexCardBase& c) { return c.QueryID(reply, replyLength); });
}

HALVEX_EXPORTED int32_t HALVEX_API ResetHalvex(int32_t cardNumber) {
    return OnCard<CHalvexCardBase>(cardNumber, [&](CHalvexCardBase& c) { return c.Reset(); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16RelayMatrix(int32_t cardNumber, int32_t row,
                                                       int32_t column) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchRelayMatrix(row, column, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16RelayMatrix(int32_t cardNumber, int32_t row,
                                                      int32_t column) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchRelayMatrix(row, column, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16RowHiLoMatrix(int32_t cardNumber, int32_t row,
                                                         int32_t lo) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchRowHiLoMatrix(row, lo, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16RowHiLoMatrix(int32_t cardNumber, int32_t row,
                                                        int32_t lo) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchRowHiLoMatrix(row, lo, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16GPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchGPRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16GPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchGPRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16ExtGPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchExtGPRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16ExtGPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchExtGPRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16PsRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPsRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16PsRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPsRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16DischargeRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchDischargeRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16DischargeRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.SwitchDischargeRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16PullUpRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPullUpRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16PullUpRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPullUpRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16PullDownRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPullDownRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16PullDownRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchPullDownRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16TestProbeRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchTestProbeRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16TestProbeRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchTestProbeRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX16GndRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchGndRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX16GndRelay(int32_t cardNumber) {
    return OnCard<CHalvexX16Card>(cardNumber,
                                  [&](CHalvexX16Card& c) { return c.SwitchGndRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API BeginX16SignalMonitoring(int32_t cardNumber, const char* port,
                                                            double intervalSeconds,
                                                            SignalCallback callback) {
    return OnMonitoredCard<CHalvexX16Card>(cardNumber, [&](CHalvexX16Card& c) {
        return c.BeginSignalMonitoring(port, intervalSeconds, callback);
    });
}

HALVEX_EXPORTED int32_t HALVEX_API EndX16SignalMonitoring(int32_t cardNumber) {
    return OnMonitoredCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.EndSignalMonitoring(); });
}

HALVEX_EXPORTED int32_t HALVEX_API GetX16SignalMonitoringData(int32_t cardNumber, const char* port,
                                                              int32_t* value) {
    return OnMonitoredCard<CHalvexX16Card>(
        cardNumber, [&](CHalvexX16Card& c) { return c.GetSignalMonitoringData(port, value); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48RelayMatrix(int32_t cardNumber, int32_t row,
                                                       int32_t column) {
    return OnCard<CHalvexX48Card>(
        cardNumber, [&](CHalvexX48Card& c) { return c.SwitchRelayMatrix(row, column, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48RelayMatrix(int32_t cardNumber, int32_t row,
                                                      int32_t column) {
    return OnCard<CHalvexX48Card>(
        cardNumber, [&](CHalvexX48Card& c) { return c.SwitchRelayMatrix(row, column, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48RowHiLoMatrix(int32_t cardNumber, int32_t row,
                                                         int32_t lo) {
    return OnCard<CHalvexX48Card>(
        cardNumber, [&](CHalvexX48Card& c) { return c.SwitchRowHiLoMatrix(row, lo, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48RowHiLoMatrix(int32_t cardNumber, int32_t row,
                                                        int32_t lo) {
    return OnCard<CHalvexX48Card>(
        cardNumber, [&](CHalvexX48Card& c) { return c.SwitchRowHiLoMatrix(row, lo, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48PullUpRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchPullUpRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48PullUpRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchPullUpRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48PullDownRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchPullDownRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48PullDownRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchPullDownRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48TestProbeRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchTestProbeRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48TestProbeRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchTestProbeRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseX48GndRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchGndRelay(true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenX48GndRelay(int32_t cardNumber) {
    return OnCard<CHalvexX48Card>(cardNumber,
                                  [&](CHalvexX48Card& c) { return c.SwitchGndRelay(false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseY48GPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexY48Card>(cardNumber,
                                  [&](CHalvexY48Card& c) { return c.SwitchGPRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenY48GPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexY48Card>(cardNumber,
                                  [&](CHalvexY48Card& c) { return c.SwitchGPRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API CloseY48ExtGPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexY48Card>(
        cardNumber, [&](CHalvexY48Card& c) { return c.SwitchExtGPRelay(relay, true); });
}

HALVEX_EXPORTED int32_t HALVEX_API OpenY48ExtGPRelay(int32_t cardNumber, int32_t relay) {
    return OnCard<CHalvexY48Card>(
        cardNumber, [&](CHalvexY48Card& c) { return c.SwitchExtGPRelay(relay, false); });
}

HALVEX_EXPORTED int32_t HALVEX_API BeginY48SignalMonitoring(int32_t cardNumber, const char* port,
                                                            double intervalSeconds,
                                                            SignalCallback callback) {
    return OnMonitoredCard<CHalvexY48Card>(cardNumber, [&](CHalvexY48Card& c) {
        return c.BeginSignalMonitoring(port, intervalSeconds, callback);
    });
}

HALVEX_EXPORTED int32_t HALVEX_API EndY48SignalMonitoring(int32_t cardNumber) {
    return OnMonitoredCard<CHalvexY48Card>(
        cardNumber, [&](CHalvexY48Card& c) { return c.EndSignalMonitoring(); });
}

HALVEX_EXPORTED int32_t HALVEX_API GetY48SignalMonitoringData(int32_t cardNumber, const char* port,
                                                              int32_t* value) {
    return OnMonitoredCard<CHalvexY48Card>(
        cardNumber, [&](CHalvexY48Card& c) { return c.GetSignalMonitoringData(port, value); });
}
