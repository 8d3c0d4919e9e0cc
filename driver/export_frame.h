// The frame of every card export: find the card, check its model, turn 7 and 8 into results.
#pragma once

#include <cstdint>

#include "driver/controller.h"

namespace halvex {

// Runs `work` on the card registered under `cardNumber` if it is a `Card`. No card: 7; another
// model: 8; both are raised as integer exceptions and nothing reaches the wire.
template <class Card, class Work>
int32_t OnCard(int32_t cardNumber, Work work) {
    try {
        DriverController* controller = Controller();
        if (controller == nullptr)
            throw static_cast<int32_t>(7);
        Card* card = dynamic_cast<Card*>(controller->FindCard(cardNumber));
        if (card == nullptr)
            throw static_cast<int32_t>(8);
        return work(*card);
    } catch (int32_t code) {
        return code;
    }
}

}  // namespace halvex
