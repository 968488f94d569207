// bench_demo.cpp - a short demonstration on the virtual bench: plug a
// virtual board, connect to it, ping it and print its 20-byte answer.
#include <cstdio>

#include "brevant.h"
#include "vboard/bench.h"

int main() {
    vboard::Bench bench;
    bench.plug(VESKCFP2_BOARD_8348, "DEMO0001");
    std::printf("Plugged a virtual type-1 board (product id 0x8348), serial DEMO0001.\n");

    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t firstBytes[2 * VESKCFP2_MAX_DEVICES];
    const int found = veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, firstBytes);
    std::printf("Enumeration found %d board(s)\n", found);
    if (found < 1) return 1;

    CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, indices[0]);
    if (board == nullptr || !veskcfp2_connect(board)) {
        std::printf("connect failed\n");
        veskcfp2_destroyInstance(board);
        return 1;
    }
    std::printf("Connected to device index %u\n", indices[0]);

    uint8_t reply[20] = {0};
    const int result = veskcfp2_ping(board, reply);
    std::printf("ping -> %s:", result == VESKCFP2_CMD_OK ? "CMD_OK" : result == VESKCFP2_CMD_SHORT ? "CMD_SHORT" : "CMD_FAILED");
    for (uint8_t byte : reply) std::printf(" %02X", byte);
    std::printf("\n       \"");
    for (uint8_t byte : reply) std::printf("%c", byte >= 0x20 && byte < 0x7F ? byte : '.');
    std::printf("\"\n");

    veskcfp2_disconnect(board);
    veskcfp2_destroyInstance(board);
    std::printf("Disconnected.\n");
    return result == VESKCFP2_CMD_OK ? 0 : 1;
}
