// The vocabulary table as C++ arrays: models, relay groups, relay kinds and result codes.
#pragma once

#include <cstdint>

#include "core/result_codes.h"

namespace halvex {

struct ModelInfo {
    const char* name;
    int32_t selfTestLimitMs;
    int32_t resetPauseMs;  // before a reset's reply is read
    bool inputs;           // signal inputs, read on a monitoring port
    int32_t matrixSize;    // rows and columns; 0 for a card without a matrix
};

#define HX_MODEL(model, limit, pause, inputs, size) \
    inline constexpr ModelInfo k##model##Model{#model, limit, pause, inputs != 0, size};
#include "core/vocabulary.inc"
inline constexpr const ModelInfo* kModels[] = {
#define HX_MODEL(model, limit, pause, inputs, size) &k##model##Model,
#include "core/vocabulary.inc"
};

struct RelayGroupInfo {
    int32_t code;
    const char* name;
};
inline constexpr RelayGroupInfo kRelayGroups[] = {
#define HX_GROUP(code, name) {code, name},
#include "core/vocabulary.inc"
};

// How a relay kind's arguments read: ROW COLUMN, ROW hi|lo, one number, or none.
enum class RelayShape { kRowColumn, kRowLine, kNumber, kSingle };

// Bits of RelayKindInfo::models, in the order of kModels.
enum ModelBit : uint32_t { kX16Bit = 1, kX48Bit = 2, kY48Bit = 4 };

struct RelayKindInfo {
    const char* name;  // as users type it: "ext-gp"
    const char* args;  // "ROW COLUMN", "N", ""
    RelayShape shape;
    int32_t group;         // the code in a command's second field; 0 for matrix commands
    int32_t subcode;       // a single relay's fixed third field; 0 otherwise
    const char* object;    // the export is Close<model><object> / Open<model><object>
    uint32_t models;       // ModelBit
    const char* formerly;  // the simulator's earlier name, still read
    const char* summary;
};

enum class RelayId {
#define HX_RELAY(id, ...) k##id,
#include "core/vocabulary.inc"
};
inline constexpr RelayKindInfo kRelayKinds[] = {
#define HX_RELAY(id, name, args, shape, group, sub, object, x16, x48, y48, formerly, summary) \
    {name,                                                                                    \
     args,                                                                                    \
     RelayShape::k##shape,                                                                    \
     group,                                                                                   \
     sub,                                                                                     \
     #object,                                                                                 \
     (x16 ? kX16Bit : 0u) | (x48 ? kX48Bit : 0u) | (y48 ? kY48Bit : 0u),                      \
     formerly,                                                                                \
     summary},
#include "core/vocabulary.inc"
};
constexpr const RelayKindInfo& Relay(RelayId id) {
    return kRelayKinds[static_cast<int>(id)];
}

struct ResultInfo {
    int32_t code;
    const char* constant;  // HALVEX_<constant>
    const char* english;
    const char* korean;  // CP949 bytes
};
inline constexpr ResultInfo kResults[] = {
#define HX_RESULT(constant, english, korean) {HALVEX_##constant, #constant, english, korean},
#include "core/vocabulary.inc"
};

constexpr bool ResultsInCodeOrder() {
    for (int32_t i = 0; i < static_cast<int32_t>(sizeof(kResults) / sizeof(kResults[0])); ++i) {
        if (kResults[i].code != i)
            return false;
    }
    return sizeof(kResults) / sizeof(kResults[0]) == kUnknownCode + 1;
}
static_assert(ResultsInCodeOrder(), "one result row per code, in code order");

// The row of a code; codes outside kSuccess-kUnknownCode get the row of kUnknownCode.
constexpr const ResultInfo& ResultOf(int32_t code) {
    return kResults[code < kSuccess || code > kUnknownCode ? kUnknownCode : code];
}

struct FixtureResultInfo {
    int32_t code;
    const char* constant;  // HALVEX_FIXTURE_<constant>
    const char* english;
};
inline constexpr FixtureResultInfo kFixtureResults[] = {
#define HX_FIXTURE_RESULT(constant, code, english) {code, #constant, english},
#include "core/vocabulary.inc"
};

// The English of any code, the library's or the fixture layer's.
constexpr const char* EnglishOf(int32_t code) {
    for (const FixtureResultInfo& r : kFixtureResults) {
        if (r.code == code)
            return r.english;
    }
    return ResultOf(code).english;
}

// The command lines' printf formats, by id: kCommandFormats[CommandId::kCloseRelay].
enum class CommandId {
#define HX_COMMAND(id, format) k##id,
#include "core/vocabulary.inc"
};
inline constexpr const char* kCommandFormats[] = {
#define HX_COMMAND(id, format) format,
#include "core/vocabulary.inc"
};
constexpr const char* CommandFormat(CommandId id) {
    return kCommandFormats[static_cast<int>(id)];
}

// The front-ends' explanations, as printf formats.
#define HX_TEXT(id, format) inline constexpr const char k##id##Text[] = format;
#include "core/vocabulary.inc"

}  // namespace halvex
