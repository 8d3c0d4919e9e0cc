#include "driver/controller.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "link/reply_reader.h"

namespace halvex {

static_assert(sizeof(CardInfo) == 132, "CardInfo is 132 bytes");
static_assert(offsetof(CardInfo, cardNumber) == 0, "cardNumber at offset 0");
static_assert(offsetof(CardInfo, idText) == 4, "idText at offset 4");
static_assert(sizeof(SignalStatus) == 8, "SignalStatus is 8 bytes");

namespace {

DriverController* gController = nullptr;
constexpr int32_t kDiscoveryPauseMs = 10;

}  // namespace

DriverController* Controller() {
    return gController;
}

void CreateController() {
    if (gController == nullptr)
        gController = new DriverController;
}

void DestroyController() {
    if (gController == nullptr)
        return;
    {
        // Monitors end first, while a callback may still find the controller.
        CardRegistry retired;
        {
            std::lock_guard<std::mutex> lock(gController->mutex);
            retired.swap(gController->cards);
        }
    }
    delete gController;
    gController = nullptr;
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

void ExtractIdText(const char* reply, char* idText, int32_t size) {
    int32_t n = 0;
    for (const char* p = reply; *p != '\0' && n < size - 1; ++p) {
        if (*p != '\t' && *p != '\n' && *p != '\r')
            idText[n++] = *p;
    }
    idText[n] = '\0';
}

int32_t DriverController::Open(const char* portName) {
    CardRegistry retired;  // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(mutex);
    // Reopening replaces the port rather than leaking the one held.
    if (link.IsOpen() && !link.ClosePort())
        return 5;
    if (!link.OpenPort(portName, kBaudRate))
        return 5;
    retired = DiscoverCards();
    return 0;
}

int32_t DriverController::Close() {
    std::lock_guard<std::mutex> lock(mutex);
    return link.ClosePort() ? 0 : 6;
}

CardRegistry DriverController::DiscoverCards() {
    CardRegistry retired;
    retired.swap(cards);
    for (int32_t i = 0; i < kSlotCount; ++i) {
        const int32_t n = i + 1;
        char chIDNCommand[kCommandBufferSize];
        std::snprintf(chIDNCommand, sizeof(chIDNCommand), "*IDN?(%02d)\n", n);
        link.Write(chIDNCommand, static_cast<int32_t>(std::strlen(chIDNCommand)));
        SleepMs(kDiscoveryPauseMs);

        char reply[kReplyBufferSize];
        int32_t replyLength = 0;
        if (ReadReply(link, reply, &replyLength) == 4)
            continue;  // silent slot

        char idText[kIdTextSize];
        ExtractIdText(reply, idText, sizeof(idText));
        std::unique_ptr<CHalvexCardBase> card = CreateCard(n, idText);
        if (!card)
            continue;
        card->SetLink(&link);
        cards[i] = std::move(card);
    }
    return retired;
}

int32_t DriverController::ListCards(CardInfo** records, int32_t* count) {
    if (records == nullptr || count == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(mutex);
    *count = 0;
    auto* list = static_cast<CardInfo*>(AllocateForCaller(sizeof(CardInfo) * kSlotCount));
    *records = list;
    if (list == nullptr)
        return 0;
    for (int32_t k = 0; k < kSlotCount; ++k) {
        list[k].cardNumber = k + 1;
        std::memset(list[k].idText, 0, sizeof(list[k].idText));
    }
    for (const auto& entry : cards) {
        CardInfo& record = list[*count];
        record.cardNumber = entry.second->GetCardNumber();
        // The card's text always fits: it was cut to 127 characters when the card was made.
        std::snprintf(record.idText, sizeof(record.idText), "%s", entry.second->GetIdText());
        ++*count;
    }
    return 0;
}

CHalvexCardBase* DriverController::FindCard(int32_t cardNumber) {
    // find() never adds an entry, and a number outside 1-16 simply has none.
    auto it = cards.find(static_cast<int32_t>(static_cast<uint32_t>(cardNumber) - 1u));
    if (it == cards.end())
        throw static_cast<int32_t>(7);
    return it->second.get();
}

std::shared_ptr<CHalvexCardBase> DriverController::ShareCard(int32_t cardNumber) {
    auto it = cards.find(static_cast<int32_t>(static_cast<uint32_t>(cardNumber) - 1u));
    if (it == cards.end())
        throw static_cast<int32_t>(7);
    return it->second;
}

}  // namespace halvex
