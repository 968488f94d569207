/* A program built against an installed brevant: finds the first type-1
 * board, pings it and reads its supply voltage. */
#include <brevant.h>
#include <stdio.h>

int main(void) {
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t firstBytes[2 * VESKCFP2_MAX_DEVICES];
    if (veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, firstBytes) < 1) {
        fprintf(stderr, "no type-1 board found\n");
        return 1;
    }
    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, indices[0]);
    uint8_t identity[20] = {0};
    double volts = 0.0;
    int ok = veskcfp2_connect(board) && veskcfp2_ping(board, identity) == VESKCFP2_CMD_OK &&
             veskcfp2_getVCC(board, &volts) == VESKCFP2_CMD_OK;
    if (ok) printf("board at index %u: %.3f V\n", indices[0], volts);
    else fprintf(stderr, "the board did not answer\n");
    veskcfp2_disconnect(board);
    veskcfp2_destroyInstance(board);
    return ok ? 0 : 1;
}
