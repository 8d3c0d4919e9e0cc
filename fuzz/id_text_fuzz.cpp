// Discovery's handling of an identification reply: the text fits its 128 bytes without tabs or
// line ends, and the card made of it is the model its designators name, in their order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/controller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reply as the reader hands it out: at most 255 characters, NUL-terminated.
    std::string reply(reinterpret_cast<const char*>(data), size < 255 ? size : 255);
    char idText[halvex::kIdTextSize + 1];
    std::memset(idText, 0x5a, sizeof(idText));
    halvex::ExtractIdText(reply.c_str(), idText, halvex::kIdTextSize);
    if (idText[halvex::kIdTextSize] != 0x5a)
        std::abort();
    const size_t n = std::strlen(idText);
    if (n > 127 || std::strpbrk(idText, "\t\r\n") != nullptr)
        std::abort();

    auto card = halvex::CreateCard(1 + static_cast<int>(size % 16), idText);
    const char* expected = std::strstr(idText, "X16")   ? "X16"
                           : std::strstr(idText, "X48") ? "X48"
                           : std::strstr(idText, "Y48") ? "Y48"
                                                        : nullptr;
    if ((card == nullptr) != (expected == nullptr))
        std::abort();
    if (card) {
        const bool right = (!std::strcmp(expected, "X16") &&
                            dynamic_cast<halvex::CHalvexX16Card*>(card.get()) != nullptr) ||
                           (!std::strcmp(expected, "X48") &&
                            dynamic_cast<halvex::CHalvexX48Card*>(card.get()) != nullptr) ||
                           (!std::strcmp(expected, "Y48") &&
                            dynamic_cast<halvex::CHalvexY48Card*>(card.get()) != nullptr);
        if (!right || std::strcmp(card->GetIdText(), idText) != 0)
            std::abort();
    }
    return 0;
}
