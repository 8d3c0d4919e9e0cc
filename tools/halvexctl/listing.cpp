#include "listing.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console.h"
#include "halvex.h"
#include "output.h"
#include "session.h"

namespace halvexctl {

int RunList(Session& session, const Invocation& inv) {
    CardInfo* records = nullptr;
    int32_t count = 0;
    GetHalvexSeries(&records, &count);
    if (inv.options.json) {
        Json cards = Json::array();
        for (int32_t i = 0; i < count; ++i) {
            const std::string model = ModelIn(records[i].idText);
            Json card;
            card["card"] = records[i].cardNumber;
            card["model"] = model.empty() ? Json(nullptr) : Json(model);
            card["id"] = records[i].idText;
            cards.push_back(card);
        }
        Json fields;
        fields["cards"] = cards;
        Report(session, inv.options, "list", 0, fields);
    } else {
        for (int32_t i = 0; i < count; ++i) {
            const std::string model = ModelIn(records[i].idText);
            std::printf("slot %2d  %-7s  %s\n", records[i].cardNumber,
                        model.empty() ? "unknown" : model.c_str(),
                        Visible(records[i].idText).c_str());
        }
        std::printf("%d card%s on %s\n", count, count == 1 ? "" : "s", session.port().c_str());
    }
    if (records != nullptr)
        ReleaseSeries(records);
    return 0;
}

int RunPorts(Session& session, const Invocation& inv) {
    const char* root = std::getenv("HALVEX_PORTS_ROOT");  // a fake /dev and /sys, for tests
    const std::vector<SerialPort> ports = ListSerialPorts(root != nullptr ? root : "");
    if (inv.options.json) {
        Json list = Json::array();
        for (const SerialPort& p : ports) {
            Json port;
            port["device"] = p.device;
            port["open_as"] = p.openAs;
            port["by_id"] = p.byId;
            port["vendor_id"] = p.vendorId;
            port["product_id"] = p.productId;
            port["serial_number"] = p.serialNumber;
            port["manufacturer"] = p.manufacturer;
            port["product"] = p.product;
            port["kernel_name"] = p.kernelName;
            list.push_back(port);
        }
        Json fields;
        fields["ports"] = list;
        return Report(session, inv.options, "ports", 0, fields);
    }
    for (const SerialPort& p : ports) {
        std::string line = p.device;
        if (p.openAs != p.device)
            line += "  open as " + p.openAs;
        if (!p.vendorId.empty())
            line += "  usb " + p.vendorId + ":" + p.productId;
        const std::string text = Joined({p.manufacturer, p.product});
        if (!p.manufacturer.empty() || !p.product.empty())
            line += "  " + (p.manufacturer.empty() ? p.product : text);
        if (!p.serialNumber.empty())
            line += "  serial " + p.serialNumber;
        if (!p.kernelName.empty())
            line += "  " + p.kernelName;
        std::printf("%s\n", line.c_str());
        for (const auto& id : p.byId)
            std::printf("    %s\n", id.c_str());
    }
    std::printf("%u serial port%s\n", static_cast<unsigned>(ports.size()),
                ports.size() == 1 ? "" : "s");
    return 0;
}

int RunCodes(Session&, const Invocation& inv) {
    if (inv.options.json) {
        Json codes = Json::array();
        for (int c = 0; c <= 9; ++c) {
            Json code;
            code["code"] = c;
            code["english"] = English(c);
            code["message"] = Message(c);
            codes.push_back(code);
        }
        Json all;
        all["codes"] = codes;
        std::printf("%s\n", JsonText(all).c_str());
        return 0;
    }
    for (int c = 0; c <= 9; ++c)
        std::printf("%d  %-40s %s\n", c, English(c), Message(c).c_str());
    return 0;
}

}  // namespace halvexctl
