/* Opens the command port, lists the cards that discovery finds, and closes the port. */
#include <stdio.h>
#include <stdlib.h>

#include "halvex.h"

#ifdef _WIN32
#include <windows.h>
#define RELEASE_SERIES(p) HeapFree(GetProcessHeap(), 0, (p))
#else
#define RELEASE_SERIES(p) free(p)
#endif

int main(int argc, char** argv) {
    const char* port = argc > 1 ? argv[1] : getenv("HALVEX_PORT");
    if (port == NULL) {
        fprintf(stderr, "usage: list_cards PORT (or set HALVEX_PORT)\n");
        return 2;
    }
    int32_t rc = OpenHalvex(port);
    if (rc != HALVEX_OK) {
        fprintf(stderr, "OpenHalvex(%s) failed with %d\n", port, (int)rc);
        return (int)rc;
    }
    CardInfo* records = NULL;
    int32_t count = 0;
    GetHalvexSeries(&records, &count);
    printf("%d card(s) on %s\n", (int)count, port);
    for (int32_t i = 0; i < count; ++i) {
        printf("  slot %2d  %s\n", (int)records[i].cardNumber, records[i].idText);
    }
    RELEASE_SERIES(records); /* the array belongs to the caller */
    return (int)CloseHalvex();
}
