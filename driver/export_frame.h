// The frame of every card export: find the card, check its model, turn kNoSuchCard and
// kWrongModel into results.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/controller.h"
#include "core/result_codes.h"

namespace halvex {

// Runs `work` on the card registered under `cardNumber` if it is a `Card`. No card: kNoSuchCard;
// another model: kWrongModel; both are raised as int32_t exceptions and nothing reaches the wire.
// The controller stays locked throughout, so the exchange is the only one on the command link.
template <class Card, class Work>
int32_t OnCard(int32_t cardNumber, Work work) {
    try {
        ControllerCall call;
        DriverController* controller = call.get();
        if (controller == nullptr)
            throw static_cast<int32_t>(kNoSuchCard);
        MutexLock lock(controller->mutex);
        Card* card = dynamic_cast<Card*>(controller->FindCard(cardNumber));
        if (card == nullptr)
            throw static_cast<int32_t>(kWrongModel);
        return work(*card);
    } catch (int32_t code) {
        return code;
    }
}

// The same frame for the monitoring calls, which use only the card's own port: the registry
// is locked for the lookup alone (never the exchanges' lock, so no other card's exchange delays
// them), and the card is held so that a discovery meanwhile cannot destroy it under the call.
// End waits for the monitor, whose callback may call the library.
template <class Card, class Work>
int32_t OnMonitoredCard(int32_t cardNumber, Work work) {
    try {
        ControllerCall call;
        DriverController* controller = call.get();
        if (controller == nullptr)
            throw static_cast<int32_t>(kNoSuchCard);
        std::shared_ptr<CHalvexCardBase> held = controller->ShareCard(cardNumber);
        Card* card = dynamic_cast<Card*>(held.get());
        if (card == nullptr)
            throw static_cast<int32_t>(kWrongModel);
        return work(*card);
    } catch (int32_t code) {
        return code;
    }
}

}  // namespace halvex
