/*
 * quickstart.c - the shortest complete use of brevant: find the type-1
 * boards, connect to the first, ping it, read its supply voltage, a
 * temperature and a module register over MDIO, and disconnect. Every result
 * is checked; the program exits 0 only when every step worked.
 *
 * Build: link against the brevant shared library, include brevant.h.
 */
#include <stdio.h>

#include "brevant.h"

/* Prints a failed step and says whether the command got its whole reply. */
static int checked(int32_t result, const char *step) {
    if (result == VESKCFP2_CMD_OK) return 1;
    fprintf(stderr, "%s: %s\n", step,
            result == VESKCFP2_CMD_SHORT ? "the reply came short" : "no reply (or the board is gone)");
    return 0;
}

int main(void) {
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t firstBytes[2 * VESKCFP2_MAX_DEVICES];
    int32_t found;
    CFP2INSTANCE *board;
    uint8_t identity[20];
    double volts, celsius;
    uint16_t reg;
    int ok;
    int i;

    found = veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, firstBytes);
    if (found < 1) {
        fprintf(stderr, "no type-1 board attached\n");
        return 1;
    }
    printf("%d type-1 board(s); the first is at device index %u, serial starting '%c'\n", (int)found,
           (unsigned)indices[0], firstBytes[0]);

    board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, indices[0]);
    if (board == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    if (!veskcfp2_connect(board)) {
        fprintf(stderr, "the board did not open\n");
        veskcfp2_destroyInstance(board);
        return 1;
    }

    ok = checked(veskcfp2_ping(board, identity), "ping");
    if (ok) {
        printf("identity:");
        for (i = 0; i < 20; ++i) printf(" %02X", identity[i]);
        printf("\n");
    }
    ok = ok && checked(veskcfp2_getVCC(board, &volts), "supply voltage");
    if (ok) printf("supply voltage: %.4f V\n", volts);
    ok = ok && checked(veskcfp2_getTemperature(board, 0, &celsius), "temperature");
    if (ok) printf("temperature sensor 0: %.2f C\n", celsius);
    ok = ok && checked(veskcfp2_getMDIO(board, 0, 0x0000, &reg), "MDIO read");
    if (ok) printf("MDIO port 0 register 0x0000: 0x%04X\n", (unsigned)reg);

    if (!veskcfp2_disconnect(board)) {
        fprintf(stderr, "disconnect: a pipe did not close\n");
        ok = 0;
    }
    veskcfp2_destroyInstance(board);
    return ok ? 0 : 1;
}
