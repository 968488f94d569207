/*
 * brevant.h - public C interface of the brevant library.
 *
 * brevant drives a USB board (Microchip vendor id 0x04D8) that carries a CFP2
 * optical module. One opaque instance stands for one board. Every function
 * here is safe to call with a null instance: it does nothing and returns 0
 * (or false).
 *
 * Typical use:
 *
 *     CFP2INSTANCE *board = veskcfp2_createInstance(VESKCFP2_BOARD_8348, index);
 *     if (veskcfp2_connect(board)) {
 *         double volts;
 *         if (veskcfp2_getVCC(board, &volts) == VESKCFP2_CMD_OK) { ... }
 *         veskcfp2_disconnect(board);
 *     }
 *     veskcfp2_destroyInstance(board);
 *
 * Results. Command functions return an int:
 *     VESKCFP2_CMD_FAILED (0)  null instance or null pointer argument, a board
 *                              type that does not have the command, the board is
 *                              not connected, or the transfer failed or timed
 *                              out (a reply is awaited for at most 100 ms; a
 *                              reply that comes later is collected and
 *                              dropped before the board's next query, which
 *                              may then wait up to another 100 ms);
 *     VESKCFP2_CMD_OK (1)      sent, and for a query the whole reply came;
 *     VESKCFP2_CMD_SHORT (2)   a query's reply came with fewer bytes than
 *                              expected; the bytes that came are decoded.
 * Connection and serial-number functions return a one-byte boolean (1 or 0).
 *
 * Board types: 0 is the board with USB product id 0x8248, 1 the board with
 * product id 0x8348. Supply voltage, temperature, power and the FTDI supply
 * switch exist on type 1 only; on type 0 those functions return
 * VESKCFP2_CMD_FAILED without any I/O and without touching their output.
 *
 * Outputs of a query are written whenever the query was attempted (instance,
 * pointer and board type accepted), even when the result is
 * VESKCFP2_CMD_FAILED, for example on a board that is not connected: reply
 * bytes that never arrived read as 0. A null output pointer gives
 * VESKCFP2_CMD_FAILED without any I/O.
 *
 * Threads: one instance must be used by one thread at a time. Different
 * instances may be used from different threads. Every EEPROM command (one
 * byte read or written, also inside the serial-number functions and
 * enumeration) is built and exchanged whole under a lock shared by the
 * process, so EEPROM functions on different instances may run on different
 * threads. A serial number is read and written one byte per command, so two
 * threads working on the same board's serial number interleave.
 *
 * If a board is unplugged while connected, the transfer that notices it
 * closes the connection; every later command fails at once until
 * veskcfp2_connect succeeds again.
 */
#ifndef BREVANT_H
#define BREVANT_H

#include <stdint.h>

/* Calling convention: standard call on 32-bit x86 Windows, the platform
 * default elsewhere. A 32-bit x86 build for another system gets standard call
 * only when it defines VESKCFP2_STDCALL (the library and all its callers
 * alike): the project's i686 test build does, to run the exports as the
 * 32-bit DLL does. */
#if defined(_WIN32) && !defined(_WIN64)
#define VESKCFP2_CALL __stdcall
#elif defined(VESKCFP2_STDCALL)
#if !defined(__i386__) || !(defined(__GNUC__) || defined(__clang__))
#error "VESKCFP2_STDCALL needs a 32-bit x86 target and GCC or clang"
#endif
#define VESKCFP2_CALL __attribute__((stdcall))
#else
#define VESKCFP2_CALL
#endif

/* Export macro. When building the library BREVANT_BUILDING is defined.
 * On 32-bit MinGW the exports come from the module definition file (it gives
 * the decorated standard-call names), so the macro is empty there. */
#if defined(_WIN32)
#if defined(BREVANT_BUILDING)
#if defined(__GNUC__) && !defined(_WIN64)
#define VESKCFP2_API
#else
#define VESKCFP2_API __declspec(dllexport)
#endif
#elif defined(BREVANT_STATIC)
#define VESKCFP2_API
#else
#define VESKCFP2_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define VESKCFP2_API __attribute__((visibility("default")))
#else
#define VESKCFP2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Opaque handle for one board. */
typedef struct CFP2INSTANCE CFP2INSTANCE;

/* Command results. */
#define VESKCFP2_CMD_FAILED 0
#define VESKCFP2_CMD_OK 1
#define VESKCFP2_CMD_SHORT 2

/* Board types. */
#define VESKCFP2_BOARD_8248 0
#define VESKCFP2_BOARD_8348 1

/** Highest number of boards veskcfp2_enumerateDevices can report. */
#define VESKCFP2_MAX_DEVICES 127

/* ---- Instances and connection ------------------------------------------ */

/**
 * Creates an instance for the board of `boardType` (1 = 0x8348; 0 or any
 * other value = 0x8248) at `deviceIndex`, the index
 * veskcfp2_enumerateDevices reports. Nothing is sent; a missing board shows at
 * connect. Returns the new instance (release it with
 * veskcfp2_destroyInstance).
 */
VESKCFP2_API CFP2INSTANCE *VESKCFP2_CALL veskcfp2_createInstance(int32_t boardType,
                                                                  uint16_t deviceIndex);

/**
 * Releases an instance. Sends nothing and does not close the connection:
 * call veskcfp2_disconnect first.
 */
VESKCFP2_API void VESKCFP2_CALL veskcfp2_destroyInstance(CFP2INSTANCE *instance);

/**
 * Opens the connection (the board's write and read pipes), closing any that
 * are still open first. Returns 1 when both pipes are open. Call it again to
 * recover after a board was unplugged and plugged back.
 */
VESKCFP2_API uint8_t VESKCFP2_CALL veskcfp2_connect(CFP2INSTANCE *instance);

/**
 * Closes the connection. Returns 1 when every pipe was closed cleanly (or was
 * not open); a board that never connected disconnects with 1.
 */
VESKCFP2_API uint8_t VESKCFP2_CALL veskcfp2_disconnect(CFP2INSTANCE *instance);

/**
 * Asks the board for its 20-byte identity block, written into `reply`
 * (room for 20 bytes; only the bytes that arrived are written). Both board
 * types. Returns a command result.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_ping(CFP2INSTANCE *instance, uint8_t *reply);

/* ---- Board control and monitoring -------------------------------------- */

/** Resets the board microcontroller. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_resetMCU(CFP2INSTANCE *instance);

/** Resets the board microcontroller into its boot loader. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_resetMCUBoot(CFP2INSTANCE *instance);

/** Sets board port `port` to `value`. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_setPort(CFP2INSTANCE *instance, uint8_t port,
                                                    uint8_t value);

/** Reads board port `port` into `*value`. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_getPort(CFP2INSTANCE *instance, uint8_t port,
                                                    uint8_t *value);

/** Sets the vendor I/O register to `value`. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_setVendorIO(CFP2INSTANCE *instance, uint8_t value);

/**
 * Switches the 3.3 V supply of the board's FTDI chip (port 3, bit 7) on when
 * `enable` is non-zero, off when zero, keeping the other port-3 bits. Reads
 * port 3 first; if that read fails or comes back short nothing is written and
 * the result is VESKCFP2_CMD_FAILED. Type 1 only.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_p3v3_FTDIEnable(CFP2INSTANCE *instance,
                                                            uint8_t enable);

/** Sets the module power value (firmware-defined meaning). Type 1 only. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_setPower(CFP2INSTANCE *instance, uint8_t value);

/** Enables current sensing: `value` for sense channel `selector`. Both types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_enableCurrentSense(CFP2INSTANCE *instance,
                                                               uint16_t value,
                                                               uint16_t selector);

/** Reads the current-sense value of `selector` (one byte) into `*value`. Both types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_getCurrentSense(CFP2INSTANCE *instance,
                                                            uint16_t selector,
                                                            uint8_t *value);

/** Reads the 16-bit current-monitor value into `*value`. Both board types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_currentMonitor(CFP2INSTANCE *instance,
                                                           uint16_t *value);

/** Writes `data` to module register `reg` over MDIO port `port`. Both types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_setMDIO(CFP2INSTANCE *instance, uint8_t port,
                                                    uint16_t reg, uint16_t data);

/** Reads module register `reg` over MDIO port `port` into `*data`. Both types. */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_getMDIO(CFP2INSTANCE *instance, uint8_t port,
                                                    uint16_t reg, uint16_t *data);

/**
 * Reads the supply voltage into `*voltage`: the board's 8.8 fixed-point
 * reading as a number (integer part plus fraction/256). Type 1 only.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_getVCC(CFP2INSTANCE *instance, double *voltage);

/**
 * Reads temperature sensor `sensor` into `*temperature`: the board's signed
 * 8.8 fixed-point reading as a number (-0.25 for 0xFFC0). Type 1 only.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_getTemperature(CFP2INSTANCE *instance,
                                                           uint8_t sensor,
                                                           double *temperature);

/* ---- EEPROM and serial number ------------------------------------------ */

/**
 * Reads the EEPROM byte at `address` into `*value`. The address is cut to
 * its low 17 bits (0 to 0x1FFFF). Both board types.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_eepromRead(CFP2INSTANCE *instance, int32_t address,
                                                       uint8_t *value);

/**
 * Writes `data` to the EEPROM byte at `address` (cut to 17 bits). Returns
 * VESKCFP2_CMD_OK or VESKCFP2_CMD_FAILED. Both board types.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_eepromWrite(CFP2INSTANCE *instance, int32_t address,
                                                        uint8_t data);

/**
 * Reads the 8-byte serial number (EEPROM bytes 0-7, space padded, no
 * terminator written) into `serial` (room for 8 bytes). Returns 1 only when
 * all eight bytes arrived whole. The first read that fails or comes back
 * short ends it with 0: the bytes before it are kept, the failing position
 * holds what arrived (0 when nothing did), the rest are untouched. A null
 * `serial` returns 0 without any I/O. Both board types.
 */
VESKCFP2_API uint8_t VESKCFP2_CALL veskcfp2_getSN(CFP2INSTANCE *instance, uint8_t *serial);

/**
 * Writes the serial number: `length` (0 to 8) bytes of `serial` to EEPROM
 * addresses 0 onwards, then spaces up to address 7. Returns 1 only when every
 * one of the eight bytes was written. Returns 0, writing nothing, for a length
 * outside 0-8, or a null `serial` with length 1-8 (length 0 reads nothing from
 * `serial`, which may then be null, and writes eight spaces). A failed
 * character write ends it with 0 (the characters before it are written); a
 * failed space write gives 0 too, after every space was attempted. Both board
 * types.
 */
VESKCFP2_API uint8_t VESKCFP2_CALL veskcfp2_setSN(CFP2INSTANCE *instance, const uint8_t *serial,
                                                  int32_t length);

/* ---- Enumeration -------------------------------------------------------- */

/**
 * Lists the attached boards of `boardType` (0 or 1; any other value lists
 * every device of the board driver). For board k it writes the device index
 * to `indices[k]` (room for VESKCFP2_MAX_DEVICES entries) and the first EEPROM
 * byte (the first serial character) to `firstBytes[2k]` (room for
 * 2 * VESKCFP2_MAX_DEVICES bytes; byte 2k+1 is never written). Returns the
 * number of boards found. Needs no instance and leaves nothing open.
 *
 * Either array may be null: with `firstBytes` null no board is probed (no
 * EEPROM read), so calling with both null just counts the boards, a way to
 * size the arrays.
 */
VESKCFP2_API int32_t VESKCFP2_CALL veskcfp2_enumerateDevices(int32_t boardType,
                                                             uint16_t *indices,
                                                             uint8_t *firstBytes);

#ifdef __cplusplus
}
#endif

#endif /* BREVANT_H */
