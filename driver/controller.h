// The process-wide controller: the command port and the cards found on it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "cards/cards.h"
#include "halvex.h"
#include "link/serial_link.h"

namespace halvex {

constexpr int32_t kSlotCount = 16;

// Key: card number minus one. Only real cards are entries; iteration is by card number. A card
// is shared only while a monitoring call works on it after its lookup.
using CardRegistry = std::map<int32_t, std::shared_ptr<CHalvexCardBase>>;

class DriverController {
  public:
    SerialLink link;
    CardRegistry cards;
    // Held by every call that touches the link or the registry, so exchanges never overlap
    // and discovery excludes every card call. Never held while a monitor is waited for.
    std::mutex mutex;

    // Opens the command port (closing it first if open) and discovers the cards: 0 or 5.
    int32_t Open(const char* portName);
    // Closes the command port; the cards stay registered: 0 or 6.
    int32_t Close();
    // A new array of 16 records from the caller-releasable allocator; see GetHalvexSeries.
    int32_t ListCards(CardInfo** records, int32_t* count);
    // With `mutex` held: the card registered under `cardNumber`; throws the integer 7 when
    // there is none.
    CHalvexCardBase* FindCard(int32_t cardNumber);
    std::shared_ptr<CHalvexCardBase> ShareCard(int32_t cardNumber);
    // With `mutex` held: replaces the registry by the cards that answer the identification
    // query in slots 1-16, and hands back the cards it replaced, to be destroyed once `mutex`
    // is free (destroying a card waits for its monitor, whose callback may call the library).
    CardRegistry DiscoverCards();
};

// The card of the model named in the text ("X16", then "X48", then "Y48"), or null.
std::unique_ptr<CHalvexCardBase> CreateCard(int cardNumber, const char* idText);

// The identification text of a reply: up to its first NUL, without tabs, carriage returns
// and line feeds, cut to fit `size` bytes with its terminator.
void ExtractIdText(const char* reply, char* idText, int32_t size);

// The one controller, created when the library is loaded and destroyed when it is unloaded.
DriverController* Controller();
void CreateController();
void DestroyController();

// Memory the caller releases with its platform's own allocator (see GetHalvexSeries).
void* AllocateForCaller(size_t size);

}  // namespace halvex
