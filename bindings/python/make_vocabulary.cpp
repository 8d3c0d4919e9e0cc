// Writes the vocabulary table as the Python module the binding, halvex.sim and the panel read:
// one dict of plain values, which the panel's server hands its page as JSON.
#include <cstdio>
#include <string>

#include "core/vocabulary.h"

namespace {

std::string Quoted(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Hex(const char* bytes) {
    std::string out;
    for (const char* p = bytes; *p; ++p) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned char>(*p));
        out += pair;
    }
    return out;
}

const char* ShapeName(halvex::RelayShape shape) {
    switch (shape) {
        case halvex::RelayShape::kRowColumn:
            return "row-column";
        case halvex::RelayShape::kRowLine:
            return "row-line";
        case halvex::RelayShape::kNumber:
            return "number";
        case halvex::RelayShape::kSingle:
            return "single";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_vocabulary OUTPUT.py\n");
        return 2;
    }
    std::string out =
        "\"\"\"The vocabulary of models, relays and result codes, as the library has it.\n\n"
        "Made by the build from core/vocabulary.inc; edit that table, not this file.\n\"\"\"\n\n"
        "from typing import Any, Dict\n\n"
        "VOCABULARY: Dict[str, Any] = {\n    \"models\": [\n";
    for (const halvex::ModelInfo* m : halvex::kModels) {
        out += "        {\"name\": " + Quoted(m->name) +
               ", \"self_test_limit_ms\": " + std::to_string(m->selfTestLimitMs) +
               ", \"reset_pause_ms\": " + std::to_string(m->resetPauseMs) +
               ", \"inputs\": " + (m->inputs ? "1" : "0") +
               ", \"matrix_size\": " + std::to_string(m->matrixSize) + "},\n";
    }
    out += "    ],\n    \"groups\": [\n";
    for (const halvex::RelayGroupInfo& g : halvex::kRelayGroups)
        out += "        {\"code\": " + std::to_string(g.code) + ", \"name\": " + Quoted(g.name) +
               "},\n";
    out += "    ],\n    \"relays\": [\n";
    for (const halvex::RelayKindInfo& k : halvex::kRelayKinds) {
        out += "        {\"name\": " + Quoted(k.name) + ", \"args\": " + Quoted(k.args) +
               ", \"shape\": " + Quoted(ShapeName(k.shape)) +
               ", \"group\": " + std::to_string(k.group) +
               ", \"subcode\": " + std::to_string(k.subcode) + ",\n         \"exports\": {";
        bool first = true;
        for (size_t i = 0; i < sizeof(halvex::kModels) / sizeof(halvex::kModels[0]); ++i) {
            if ((k.models & (1u << i)) == 0)
                continue;
            const std::string model = halvex::kModels[i]->name;
            out += std::string(first ? "" : ", ") + Quoted(model.c_str()) + ": [" +
                   Quoted(("Close" + model + k.object).c_str()) + ", " +
                   Quoted(("Open" + model + k.object).c_str()) + "]";
            first = false;
        }
        out += "},\n         \"formerly\": " + Quoted(k.formerly) +
               ", \"summary\": " + Quoted(k.summary) + "},\n";
    }
    out += "    ],\n    \"results\": [\n";
    for (const halvex::ResultInfo& r : halvex::kResults) {
        out += "        {\"code\": " + std::to_string(r.code) +
               ", \"constant\": " + Quoted(r.constant) + ", \"english\": " + Quoted(r.english) +
               ",\n         \"korean_cp949\": " + Quoted(Hex(r.korean).c_str()) + "},\n";
    }
    out += "    ],\n    \"fixture_results\": [\n";
    for (const halvex::FixtureResultInfo& r : halvex::kFixtureResults) {
        out += "        {\"code\": " + std::to_string(r.code) + ", \"constant\": " +
               Quoted(r.constant) + ", \"english\": " + Quoted(r.english) + "},\n";
    }
    out += "    ],\n    \"commands\": {\n";
#define HX_COMMAND(id, format) out += "        \"" #id "\": " + Quoted(format) + ",\n";
#include "core/vocabulary.inc"
    out += "    },\n    \"texts\": {\n";
#define HX_TEXT(id, format) out += "        \"" #id "\": " + Quoted(format) + ",\n";
#include "core/vocabulary.inc"
    out += "    },\n}\n";
    std::FILE* f = std::fopen(argv[1], "wb");
    if (f == nullptr || std::fwrite(out.data(), 1, out.size(), f) != out.size() ||
        std::fclose(f) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
