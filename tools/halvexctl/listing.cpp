#include "listing.h"

#include <algorithm>
#include <chrono>
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
            if (p.latencyTimer.empty())
                port["latency_timer_ms"] = nullptr;
            else
                port["latency_timer_ms"] = std::atoi(p.latencyTimer.c_str());
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
        if (!p.latencyTimer.empty())
            line += "  latency timer " + p.latencyTimer + " ms";
        std::printf("%s\n", line.c_str());
        for (const auto& id : p.byId)
            std::printf("    %s\n", id.c_str());
    }
    std::printf("%u serial port%s\n", static_cast<unsigned>(ports.size()),
                ports.size() == 1 ? "" : "s");
    return 0;
}

namespace {

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int RunDoctor(Session&, const Invocation& inv) {
    const std::string& port = inv.args[1];
    const Session named(port);  // names PORT in what is reported
    constexpr int kQueries = 5;
    constexpr double kPauseMs = 10.0;  // the library's pause after each command
    // An identification reply is due within about 2 ms of the pause on a direct line; more
    // means something holds the bytes, most often a USB adapter's latency timer.
    constexpr double kSlowAfterPauseMs = 4.0;
    const std::string timer = LatencyTimerOf(port);
    const auto start = std::chrono::steady_clock::now();
    const int32_t opened = OpenHalvex(port.c_str());
    const double discoveryMs = MsSince(start);
    if (opened != 0)
        return Report(named, inv.options, "doctor", opened);
    CardInfo* records = nullptr;
    int32_t count = 0;
    GetHalvexSeries(&records, &count);
    const int32_t card = count > 0 ? records[0].cardNumber : 0;
    if (records != nullptr)
        ReleaseSeries(records);
    std::vector<double> trips;
    int32_t code = 0;
    for (int i = 0; card != 0 && i < kQueries && code == 0; ++i) {
        char reply[HALVEX_REPLY_MAX];
        int32_t length = 0;
        const auto t = std::chrono::steady_clock::now();
        code = QueryHalvexID(card, reply, &length);
        trips.push_back(MsSince(t));
    }
    CloseHalvex();
    std::sort(trips.begin(), trips.end());
    const double median = trips.empty() ? 0 : trips[trips.size() / 2];
    const double worst = trips.empty() ? 0 : trips.back();
    const bool slow = !trips.empty() && median - kPauseMs > kSlowAfterPauseMs;
    const bool highTimer = !timer.empty() && std::atoi(timer.c_str()) > 1;
    const std::string advice = slow || highTimer ? LatencyAdvice() : "";
    if (inv.options.json) {
        Json fields;
        fields["port"] = port;
        fields["discovery_ms"] = discoveryMs;
        fields["cards"] = count;
        fields["card"] = card != 0 ? Json(card) : Json(nullptr);
        fields["round_trips_ms"] = trips;
        fields["latency_timer_ms"] = timer.empty() ? Json(nullptr) : Json(std::atoi(timer.c_str()));
        fields["advice"] = advice.empty() ? Json(nullptr) : Json(advice);
        return Report(named, inv.options, "doctor", code, fields);
    }
    std::printf("port %s: discovery %.0f ms, %d card%s\n", port.c_str(), discoveryMs, count,
                count == 1 ? "" : "s");
    if (card == 0) {
        std::printf("no card answered, so no round trip to time\n");
    } else {
        std::printf(
            "identification of card %d: median %.1f ms, slowest %.1f ms over %zu "
            "queries (%.0f ms of each is the library's pause)\n",
            card, median, worst, trips.size(), kPauseMs);
    }
    if (!timer.empty())
        std::printf("USB adapter latency timer: %s ms\n", timer.c_str());
    if (slow)
        std::printf("replies come %.1f ms after the pause: something holds them\n",
                    median - kPauseMs);
    if (!advice.empty())
        std::printf("%s\n", advice.c_str());
    return code == 0 ? 0 : Report(named, inv.options, "doctor", code);
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
