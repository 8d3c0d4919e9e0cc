// The process-wide controller: the command port and the cards found on it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "cards/cards.h"
#include "cards/protocol.h"
#include "core/thread_safety.h"
#include "halvex.h"
#include "link/serial_link.h"

namespace halvex {

constexpr int32_t kSlotCount = 16;

// Key: card number minus one. Only real cards are entries; iteration is by card number. A card
// is shared only while a monitoring call works on it after its lookup.
using CardRegistry = std::map<int32_t, std::shared_ptr<CHalvexCardBase>>;

class DriverController {
  public:
    SerialLink link GUARDED_BY(mutex);
    CardRegistry cards GUARDED_BY(mutex);
    // Held by every call that touches the link or the registry, so exchanges never overlap
    // and discovery excludes every card call. Never held while a monitor is waited for.
    Mutex mutex;
    // Held with `mutex` to change the registry, and alone by the monitoring calls' lookups,
    // which so never wait behind another card's exchange.
    Mutex registryMutex;
    // In a forked child, the controller left before this one: never used again.
    DriverController* abandoned = nullptr;

    // Opens the command port (closing it first if open) and discovers the cards: kSuccess or
    // kPortOpenError.
    int32_t Open(const char* portName) EXCLUDES(mutex, registryMutex);
    // Closes the command port; the cards stay registered: kSuccess or kPortCloseError.
    int32_t Close() EXCLUDES(mutex);
    // A new array of 16 records from the caller-releasable allocator; see GetHalvexSeries.
    int32_t ListCards(CardInfo** records, int32_t* count) EXCLUDES(mutex);
    // With `mutex` held: the card registered under `cardNumber`; throws kNoSuchCard as an
    // int32_t when there is none.
    CHalvexCardBase* FindCard(int32_t cardNumber) REQUIRES(mutex);
    // Takes `registryMutex` itself: the card, held; throws kNoSuchCard as an int32_t when there
    // is none.
    std::shared_ptr<CHalvexCardBase> ShareCard(int32_t cardNumber) EXCLUDES(registryMutex);
    // With `mutex` held: the cards that answer the identification query in slots 1-16.
    CardRegistry DiscoverCards() REQUIRES(mutex);
    // Ends the monitors of cards that left the registry and destroys the cards, keeping those
    // whose worker could not be waited for (a discovery from a callback) until it has left.
    // Never called with a lock held: ending a monitor waits for its callback.
    void Retire(CardRegistry& retired) EXCLUDES(mutex, registryMutex, keptMutex_);
    // Destroys the kept cards whose worker has left; with `wait`, waits for the others where
    // that is allowed. True when none is kept any more.
    bool Reap(bool wait) EXCLUDES(mutex, registryMutex, keptMutex_);

  private:
    // Every change of the registry holds both locks, so `registryMutex` alone keeps it still
    // for a lookup; the analysis knows only one lock per field.
    const CardRegistry& CardsForLookup() const REQUIRES(registryMutex) NO_THREAD_SAFETY_ANALYSIS {
        return cards;
    }

    Mutex keptMutex_;
    std::vector<std::shared_ptr<CHalvexCardBase>> kept_ GUARDED_BY(keptMutex_);
};

// The one controller, created when the library is loaded and destroyed when it is unloaded.
DriverController* Controller();
void CreateController();
// Ends every monitor and releases everything. First the calls under way finish (with
// `mayWait`, for a while); calls that come later find no controller and fail cleanly.
void DestroyController(bool mayWait);
// In a child made by fork(): the parent's workers are not there and the locks other threads
// held stay held, so the child starts with a controller of its own and leaves the old alone.
void RenewControllerInChild();

// An export's use of the controller: none while the library is being unloaded.
class ControllerCall {
  public:
    ControllerCall();
    ~ControllerCall();
    ControllerCall(const ControllerCall&) = delete;
    ControllerCall& operator=(const ControllerCall&) = delete;
    DriverController* get() const { return controller_; }

  private:
    DriverController* controller_;
};

// Memory the caller releases with its platform's own allocator (see GetHalvexSeries).
void* AllocateForCaller(size_t size);

}  // namespace halvex
