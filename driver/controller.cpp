#include "driver/controller.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "core/result_codes.h"

namespace halvex {

// The same layout in every build, Halvex64.dll included: callers index the array by 132 bytes
// and C# marshals it with Pack = 4.
static_assert(sizeof(CardInfo) == 132, "CardInfo is 132 bytes");
static_assert(alignof(CardInfo) == 4, "CardInfo is 4-byte aligned");
static_assert(offsetof(CardInfo, cardNumber) == 0, "cardNumber at offset 0");
static_assert(offsetof(CardInfo, idText) == 4, "idText at offset 4");
static_assert(sizeof(SignalStatus) == 8, "SignalStatus is 8 bytes");

namespace {

std::atomic<DriverController*> gController{nullptr};
std::atomic<bool> gClosing{false};
std::atomic<int32_t> gCallsInFlight{0};
DriverController* gLeftByFork = nullptr;  // the controllers forked children left, linked
constexpr int32_t kDiscoveryPauseMs = 10;
// How long unloading waits for calls under way; a call that takes longer (a self test can take
// 50 s) leaves everything in place, which at process exit is the safe choice.
constexpr int32_t kUnloadWaitMs = 5000;

}  // namespace

ControllerCall::ControllerCall() {
    gCallsInFlight.fetch_add(1);
    controller_ = gClosing.load() ? nullptr : gController.load();
}

ControllerCall::~ControllerCall() {
    gCallsInFlight.fetch_sub(1);
}

DriverController* Controller() {
    return gController.load();
}

void CreateController() {
    if (gController.load() == nullptr)
        gController.store(new DriverController);
}

void DestroyController(bool mayWait) {
    DriverController* controller = gController.load();
    if (controller == nullptr)
        return;
    gClosing.store(true);
    if (mayWait) {
        for (int32_t waited = 0; gCallsInFlight.load() != 0; ++waited) {
            if (waited >= kUnloadWaitMs)
                return;
            SleepMs(1);
        }
    }
    CardRegistry retired;
    {
        MutexLock lock(controller->mutex);
        MutexLock lookups(controller->registryMutex);
        retired.swap(controller->cards);
        controller->link.ClosePort();
    }
    controller->Retire(retired);
    // A worker that could not be waited for (exit from a callback) may still use its card.
    if (!controller->Reap(mayWait))
        return;
    gController.store(nullptr);
    delete controller;
}

void RenewControllerInChild() {
    DriverController* old = gController.load();
    if (old == nullptr)
        return;
    old->abandoned = gLeftByFork;
    gLeftByFork = old;
    gController.store(new DriverController);
    gCallsInFlight.store(0);
    gClosing.store(false);
}

int32_t DriverController::Open(const char* portName) {
    Reap(false);
    CardRegistry retired;
    {
        MutexLock lock(mutex);
        // Reopening replaces the port rather than leaking the one held.
        if (link.IsOpen() && !link.ClosePort())
            return kPortOpenError;
        if (!link.OpenPort(portName, kBaudRate))
            return kPortOpenError;
        CardRegistry found = DiscoverCards();
        MutexLock lookups(registryMutex);
        retired.swap(cards);
        cards.swap(found);
    }
    Retire(retired);
    return kSuccess;
}

void DriverController::Retire(CardRegistry& retired) {
    std::vector<std::shared_ptr<CHalvexCardBase>> running;
    for (auto& entry : retired) {
        if (entry.second->RetireMonitor())
            running.push_back(std::move(entry.second));
    }
    retired.clear();
    MutexLock lock(keptMutex_);
    for (auto& card : running)
        kept_.push_back(std::move(card));
}

bool DriverController::Reap(bool wait) {
    std::vector<std::shared_ptr<CHalvexCardBase>> done;
    {
        MutexLock lock(keptMutex_);
        for (auto it = kept_.begin(); it != kept_.end();) {
            if ((*it)->MonitorGone()) {
                done.push_back(std::move(*it));
                it = kept_.erase(it);
            } else {
                ++it;
            }
        }
        if (wait) {
            for (auto& card : kept_)
                done.push_back(std::move(card));
            kept_.clear();
        }
    }
    // Outside the lock: waiting for a worker waits for its callback.
    std::vector<std::shared_ptr<CHalvexCardBase>> still;
    for (auto& card : done) {
        if (card->StopMonitor())
            still.push_back(std::move(card));
    }
    done.clear();
    MutexLock lock(keptMutex_);
    for (auto& card : still)
        kept_.push_back(std::move(card));
    return kept_.empty();
}

int32_t DriverController::Close() {
    MutexLock lock(mutex);
    return link.ClosePort() ? kSuccess : kPortCloseError;
}

namespace {

// One identification query to slot n; the reply's text in `reply`, false when nothing came.
// `settled`: only once a late reply to an earlier exchange can no longer arrive.
bool AskIdentity(SerialLink& link, int32_t n, bool settled, char (&reply)[kReplyBufferSize]) {
    char chIDNCommand[kCommandBufferSize];
    FormatDeviceCommand(chIDNCommand, sizeof(chIDNCommand), DeviceCommand::kIdentify, n);
    const int32_t length = static_cast<int32_t>(std::strlen(chIDNCommand));
    if (settled)
        link.Write(chIDNCommand, length);
    else
        link.WriteNow(chIDNCommand, length);
    SleepMs(kDiscoveryPauseMs);
    int32_t replyLength = 0;
    return ReadReply(link, reply, &replyLength) != kNoReply;
}

}  // namespace

CardRegistry DriverController::DiscoverCards() {
    CardRegistry found;
    auto take = [&](int32_t i, const char* reply) {
        char idText[kIdTextSize];
        ExtractIdText(reply, idText, sizeof(idText));
        std::unique_ptr<CHalvexCardBase> card = CreateCard(i + 1, idText);
        if (!card)
            return;
        card->SetLink(&link);
        found[i] = std::move(card);
    };
    // Settling after every silent slot would cost 80 ms each. Instead every slot is asked at
    // once, and a slot asked while an earlier reply could still be coming late (its answer may
    // be that latecomer, or be mixed with it) is asked again once the line has settled. A slot
    // that stayed silent took nothing, so it needs no second question.
    std::vector<int32_t> doubtful;
    for (int32_t i = 0; i < kSlotCount; ++i) {
        const bool mayTakeALatecomer = link.Settling();
        char reply[kReplyBufferSize];
        if (!AskIdentity(link, i + 1, false, reply))
            continue;  // silent slot
        if (mayTakeALatecomer)
            doubtful.push_back(i);
        else
            take(i, reply);
    }
    // Write waits out the settling, once for all of them; a slot silent now holds the next off.
    for (const int32_t i : doubtful) {
        char reply[kReplyBufferSize];
        if (AskIdentity(link, i + 1, true, reply))
            take(i, reply);
    }
    return found;
}

int32_t DriverController::ListCards(CardInfo** records, int32_t* count) {
    if (records == nullptr || count == nullptr)
        return kSuccess;
    MutexLock lock(mutex);
    *count = 0;
    auto* list = static_cast<CardInfo*>(AllocateForCaller(sizeof(CardInfo) * kSlotCount));
    *records = list;
    if (list == nullptr)
        return kSuccess;
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
    return kSuccess;
}

CHalvexCardBase* DriverController::FindCard(int32_t cardNumber) {
    // find() never adds an entry, and a number outside 1-16 simply has none.
    auto it = cards.find(static_cast<int32_t>(static_cast<uint32_t>(cardNumber) - 1u));
    if (it == cards.end())
        throw static_cast<int32_t>(kNoSuchCard);
    return it->second.get();
}

std::shared_ptr<CHalvexCardBase> DriverController::ShareCard(int32_t cardNumber) {
    MutexLock lock(registryMutex);
    const CardRegistry& registry = CardsForLookup();
    auto it = registry.find(static_cast<int32_t>(static_cast<uint32_t>(cardNumber) - 1u));
    if (it == registry.end())
        throw static_cast<int32_t>(kNoSuchCard);
    return it->second;
}

}  // namespace halvex
