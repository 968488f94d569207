/*
 * c_caller.c - a C program that uses brevant.dll through the header and an
 * import library, the way a C application does. It calls every export, so
 * linking it proves that the import library resolves all 24 names for this
 * target; run, it checks that each export refuses a null instance and that
 * an instance can be created, used while unconnected and destroyed.
 * The exit code is the number of failed checks.
 *
 * Built without a C runtime (a bare link against the MSVC import library)
 * when BREVANT_CALLER_WITHOUT_CRT is defined.
 */
#include "brevant.h"

#ifdef BREVANT_CALLER_WITHOUT_CRT
int _fltused = 0; /* the C runtime defines this when floating point is used */
#endif

int main(void) {
    int failures = 0;
    CFP2INSTANCE *none = 0;
    CFP2INSTANCE *board;
    uint8_t byte = 0x5A;
    uint16_t word = 0x5A5A;
    double value = 1.5;
    uint8_t reply[20];
    uint16_t indices[VESKCFP2_MAX_DEVICES];
    uint8_t first[2 * VESKCFP2_MAX_DEVICES];
    const uint8_t serial[8] = {'S', 'N', '0', '0', '0', '0', '0', '1'};

    /* A null instance: nothing happens, the result is 0. */
    failures += veskcfp2_connect(none) != 0;
    failures += veskcfp2_disconnect(none) != 0;
    failures += veskcfp2_ping(none, reply) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_resetMCU(none) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_resetMCUBoot(none) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_setPort(none, 1, 2) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getPort(none, 1, &byte) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_setVendorIO(none, 1) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_p3v3_FTDIEnable(none, 1) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_setPower(none, 1) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_enableCurrentSense(none, 1, 2) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getCurrentSense(none, 1, &byte) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_currentMonitor(none, &word) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_setMDIO(none, 1, 2, 3) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getMDIO(none, 1, 2, &word) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getVCC(none, &value) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getTemperature(none, 0, &value) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_eepromRead(none, 0, &byte) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_eepromWrite(none, 0, 1) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getSN(none, reply) != 0;
    failures += veskcfp2_setSN(none, serial, 8) != 0;
    veskcfp2_destroyInstance(none);
    failures += byte != 0x5A || word != 0x5A5A || value != 1.5;

    /* An instance that is not connected sends nothing and fails. */
    board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, 0);
    failures += board == 0;
    failures += veskcfp2_ping(board, reply) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_getMDIO(board, 0, 1, &word) != VESKCFP2_CMD_FAILED;
    failures += veskcfp2_disconnect(board) != 1;
    veskcfp2_destroyInstance(board);

    /* Counting needs no arrays; the listing fills them. */
    failures += veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, 0, 0) !=
                veskcfp2_enumerateDevices(VESKCFP2_BOARD_8348, indices, first);
    return failures;
}
