/*
 * Halvex fixture layer: named nets, routes and interlocks over the Halvex32 library.
 *
 * A fixture file (TOML) names the chassis's cards, the nets the fixture's wiring makes of card
 * terminals, the joins that must never happen ([[forbid]]) and named routes. Every operation
 * is checked before a relay moves: if the relays it would leave closed joined the nets of a
 * forbid rule, directly or through any chain, it is refused with HALVEX_FIXTURE_INTERLOCK and
 * nothing is sent. Only relays whose state changes are sent, opens before closes, and a
 * command that fails midway is undone. The layer knows only what it commanded: relays moved by
 * another program, or through the library's exports directly, are outside what it can check.
 *
 * Results: the library's 0-9 pass through; the layer adds the codes below. After any non-zero
 * result HalvexFixtureLastError gives the reason in English. One handle serves one thread at a
 * time.
 */
#ifndef HALVEX_FIXTURE_H
#define HALVEX_FIXTURE_H

#include "halvex.h"

#ifdef __cplusplus
extern "C" {
#endif

#define HALVEX_FIXTURE_UNKNOWN_NAME 10 /* a net, route, relay or terminal it does not have */
#define HALVEX_FIXTURE_FILE_ERROR 11   /* the fixture file; the message names line and column */
#define HALVEX_FIXTURE_INTERLOCK 12    /* refused: forbidden nets would be joined */
#define HALVEX_FIXTURE_NO_PATH 13      /* no free relays join the two nets */
#define HALVEX_FIXTURE_CHASSIS_MISMATCH \
    14 /* a card the fixture names is missing or another model */

typedef struct HalvexFixture HalvexFixture;

/* Reads and checks a fixture file. On 11 *fixture is a handle whose last error is the file's;
 * free it all the same. */
int32_t HALVEX_API HalvexFixtureLoad(const char* path, HalvexFixture** fixture);
/* Opens the command port (port, or the file's when null or empty), checks the cards and
 * resets them when the file says reset_on_open (the default). */
int32_t HALVEX_API HalvexFixtureOpen(HalvexFixture* fixture, const char* port);
int32_t HALVEX_API HalvexFixtureConnect(HalvexFixture* fixture, const char* netA, const char* netB);
int32_t HALVEX_API HalvexFixtureDisconnect(HalvexFixture* fixture, const char* netA,
                                           const char* netB);
/* Routes: one or more names separated by blanks, applied or released all or nothing. */
int32_t HALVEX_API HalvexFixtureApply(HalvexFixture* fixture, const char* routes);
int32_t HALVEX_API HalvexFixtureRelease(HalvexFixture* fixture, const char* routes);
/* A relay by its name with the slot ("1:ps:2", "3:matrix:5:7"), through the interlock. */
int32_t HALVEX_API HalvexFixtureCloseRelay(HalvexFixture* fixture, const char* relay);
int32_t HALVEX_API HalvexFixtureOpenRelay(HalvexFixture* fixture, const char* relay);
/* Opens every relay the layer closed or may have closed. */
int32_t HALVEX_API HalvexFixtureDisconnectAll(HalvexFixture* fixture);
/* What an operation ("connect A B", "apply R", "close 1:ps:2", ...) would send, without
 * sending: 0 with one "open RELAY" or "close RELAY" line per relay in `plan`, or the code the
 * operation would return. The text is cut to fit `size`. */
int32_t HALVEX_API HalvexFixtureCheck(HalvexFixture* fixture, const char* operation, char* plan,
                                      int32_t size);
/* The state: closed and unknown relays, connections, routes and joined nets; as JSON when
 * `json` is non-zero. 3 when it does not fit `size` (nothing is written but the terminator). */
int32_t HALVEX_API HalvexFixtureState(HalvexFixture* fixture, int32_t json, char* buffer,
                                      int32_t size);
/* The reason of the last non-zero result, cut to fit `size`; empty after a success. */
int32_t HALVEX_API HalvexFixtureLastError(HalvexFixture* fixture, char* buffer, int32_t size);
/* The fixture's nets and routes as JSON: {"nets": [{"name": ..., "terminals": [...]}, ...],
 * "routes": [...], "cards": {"1": "X16", ...}, "reset": [slots reset at open]}. 3 when it does
 * not fit `size`. */
int32_t HALVEX_API HalvexFixtureNets(HalvexFixture* fixture, char* buffer, int32_t size);
/* After HALVEX_FIXTURE_INTERLOCK: the refusal as JSON, {"rule": "PSU / DUT_GND", "reason": ...,
 * "chain": ["PSU", "1:ps:2", ...]}; else an empty text. 3 when it does not fit `size`. */
int32_t HALVEX_API HalvexFixtureLastRefusal(HalvexFixture* fixture, char* buffer, int32_t size);
void HALVEX_API HalvexFixtureFree(HalvexFixture* fixture);

#ifdef __cplusplus
}
#endif

#endif
