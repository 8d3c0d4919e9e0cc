#include "cards/protocol.h"

#include <cstdio>
#include <cstring>

#include "cards/cards.h"
#include "core/result_codes.h"
#include "core/vocabulary.h"

namespace halvex {

namespace {

bool Fits(int written, int32_t size) {
    return written > 0 && written < size;
}

}  // namespace

bool FormatRelayCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t field2,
                        int32_t field3) {
    const char* format = CommandFormat(close ? CommandId::kCloseRelay : CommandId::kOpenRelay);
    return Fits(std::snprintf(buffer, static_cast<size_t>(size), format, card, field2, field3),
                size);
}

bool FormatHiLoCommand(char* buffer, int32_t size, bool close, int32_t card, int32_t row,
                       int32_t lo) {
    char strhilo[3];
    std::memcpy(strhilo, lo == 0 ? "hi" : "lo", sizeof(strhilo));
    const char* format = CommandFormat(close ? CommandId::kCloseLine : CommandId::kOpenLine);
    return Fits(std::snprintf(buffer, static_cast<size_t>(size), format, card, row, strhilo), size);
}

bool FormatDeviceCommand(char* buffer, int32_t size, DeviceCommand command, int32_t card) {
    const char* format = CommandFormat(command == DeviceCommand::kIdentify   ? CommandId::kIdentify
                                       : command == DeviceCommand::kSelfTest ? CommandId::kSelfTest
                                       : command == DeviceCommand::kReset    ? CommandId::kReset
                                                                             : CommandId::kPhoto);
    return Fits(std::snprintf(buffer, static_cast<size_t>(size), format, card), size);
}

void DecodeSignalStatus(uint8_t statusByte, SignalStatus (&signalStatus)[kSignalChannels]) {
    for (int32_t i = 0; i < kSignalChannels; ++i) {
        signalStatus[i].channel = i + 1;
        signalStatus[i].state = (statusByte >> i) & 1 ? 0 : 1;
    }
}

int32_t ClassifyReply(const char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        --n;
    auto is = [&](const char* word) {
        return std::strlen(word) == n && std::memcmp(text, word, n) == 0;
    };
    if (is("CMD Error"))
        return kCmdError;
    if (is("Format Error"))
        return kFormatError;
    if (is("Parameter Range Error"))
        return kParameterRangeError;
    return kSuccess;
}

int32_t FinishReply(const ReplyLine& line, char* reply, int32_t* replyLength) {
    if (line.Length() == 0)
        return kNoReply;
    if (replyLength != nullptr)
        *replyLength = line.Length();
    if (reply != nullptr)
        std::memcpy(reply, line.Text(), std::strlen(line.Text()) + 1);
    return ClassifyReply(line.Text());
}

int32_t ReadReplyWithin(SerialLink& link, int32_t limitMs, char* reply, int32_t* replyLength) {
    ReplyLine line;
    CollectLine(link, limitMs, line);
    return FinishReply(line, reply, replyLength);
}

int32_t ReadReply(SerialLink& link, char* reply, int32_t* replyLength) {
    return ReadReplyWithin(link, kDefaultReplyLimitMs, reply, replyLength);
}

void ExtractIdText(const char* reply, char* idText, int32_t size) {
    int32_t n = 0;
    for (const char* p = reply; *p != '\0' && n < size - 1; ++p) {
        if (*p != '\t' && *p != '\n' && *p != '\r')
            idText[n++] = *p;
    }
    idText[n] = '\0';
}

std::unique_ptr<CHalvexCardBase> CreateCard(int cardNumber, const char* idText) {
    if (std::strstr(idText, "X16") != nullptr) {
        return std::make_unique<CHalvexX16Card>(cardNumber, idText);
    }
    if (std::strstr(idText, "X48") != nullptr) {
        return std::make_unique<CHalvexX48Card>(cardNumber, idText);
    }
    if (std::strstr(idText, "Y48") != nullptr) {
        return std::make_unique<CHalvexY48Card>(cardNumber, idText);
    }
    return nullptr;
}

}  // namespace halvex
