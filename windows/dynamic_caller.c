/*
 * dynamic_caller.c - loads brevant.dll at run time with LoadLibrary and looks
 * up every export with GetProcAddress under the name a program must use:
 * the plain name on x86-64, the decorated standard-call name (_name@N) on
 * 32-bit x86. Then it calls through the pointers it found. The exit code is
 * the number of failed checks.
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "brevant.h"

#ifdef _WIN64
#define EXPORT_NAME(name, bytes) #name
#else
#define EXPORT_NAME(name, bytes) "_" #name "@" #bytes
#endif

typedef CFP2INSTANCE *(VESKCFP2_CALL *CreateInstanceFn)(int32_t, uint16_t);
typedef void(VESKCFP2_CALL *DestroyInstanceFn)(CFP2INSTANCE *);
typedef int32_t(VESKCFP2_CALL *GetMDIOFn)(CFP2INSTANCE *, uint8_t, uint16_t, uint16_t *);

static const char *const kNames[] = {
    EXPORT_NAME(veskcfp2_createInstance, 8),     EXPORT_NAME(veskcfp2_destroyInstance, 4),
    EXPORT_NAME(veskcfp2_connect, 4),            EXPORT_NAME(veskcfp2_disconnect, 4),
    EXPORT_NAME(veskcfp2_ping, 8),               EXPORT_NAME(veskcfp2_resetMCU, 4),
    EXPORT_NAME(veskcfp2_resetMCUBoot, 4),       EXPORT_NAME(veskcfp2_setPort, 12),
    EXPORT_NAME(veskcfp2_getPort, 12),           EXPORT_NAME(veskcfp2_setVendorIO, 8),
    EXPORT_NAME(veskcfp2_p3v3_FTDIEnable, 8),    EXPORT_NAME(veskcfp2_setPower, 8),
    EXPORT_NAME(veskcfp2_enableCurrentSense, 12), EXPORT_NAME(veskcfp2_getCurrentSense, 12),
    EXPORT_NAME(veskcfp2_currentMonitor, 8),     EXPORT_NAME(veskcfp2_setMDIO, 16),
    EXPORT_NAME(veskcfp2_getMDIO, 16),           EXPORT_NAME(veskcfp2_getVCC, 8),
    EXPORT_NAME(veskcfp2_getTemperature, 12),    EXPORT_NAME(veskcfp2_eepromRead, 12),
    EXPORT_NAME(veskcfp2_eepromWrite, 12),       EXPORT_NAME(veskcfp2_getSN, 8),
    EXPORT_NAME(veskcfp2_setSN, 12),             EXPORT_NAME(veskcfp2_enumerateDevices, 12),
};

int main(void) {
    int failures = 0;
    size_t i;
    HMODULE dll = LoadLibraryA("brevant.dll");
    if (dll == NULL) {
        printf("LoadLibrary(brevant.dll) failed with error %lu\n", GetLastError());
        return 100;
    }
    for (i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
        if (GetProcAddress(dll, kNames[i]) == NULL) {
            printf("brevant.dll does not export %s\n", kNames[i]);
            ++failures;
        }
    }
    if (failures == 0) {
        CreateInstanceFn create;
        DestroyInstanceFn destroy;
        GetMDIOFn getMDIO;
        CFP2INSTANCE *board;
        uint16_t data = 0;
        /* Function pointers travel through GetProcAddress's generic type. */
        FARPROC p = GetProcAddress(dll, kNames[0]);
        memcpy(&create, &p, sizeof create);
        p = GetProcAddress(dll, kNames[1]);
        memcpy(&destroy, &p, sizeof destroy);
        p = GetProcAddress(dll, EXPORT_NAME(veskcfp2_getMDIO, 16));
        memcpy(&getMDIO, &p, sizeof getMDIO);
        board = create(VESKCFP2_BOARD_8348, 0);
        failures += board == NULL;
        failures += getMDIO(board, 1, 2, &data) != VESKCFP2_CMD_FAILED; /* not connected */
        destroy(board);
    }
    FreeLibrary(dll);
    printf("%u exports looked up, %d failure(s)\n", (unsigned)(sizeof kNames / sizeof kNames[0]), failures);
    return failures;
}
