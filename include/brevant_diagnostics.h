/*
 * brevant_diagnostics.h - one entry point outside the public interface, for
 * `brevantctl doctor` only: a report sent and a reply read into a buffer of
 * the caller's size, with the count the system gave, so that a tool can see
 * a whole packet as the board sent it (does it pad or lengthen replies?) and
 * whether a reply comes after the library's read wait. It is not part of the
 * library's interface: it is not installed, the Windows DLL does not export
 * it (its export table stays the 24 veskcfp2_ functions), and it may change
 * with any release. docs/library.md says more.
 */
#ifndef BREVANT_DIAGNOSTICS_H
#define BREVANT_DIAGNOSTICS_H

#include "brevant.h"

#if !defined(_WIN32)

#ifdef __cplusplus
extern "C" {
#endif

/* Outcomes of brevant_diagnosticExchange. */
#define BREVANT_DIAG_OK 0            /* the reply (or nothing, for 0 bytes) came */
#define BREVANT_DIAG_TIMEOUT 1       /* nothing came within the wait */
#define BREVANT_DIAG_GONE 2          /* the board went away */
#define BREVANT_DIAG_ERROR 3         /* the transfer failed otherwise */
#define BREVANT_DIAG_NOT_CONNECTED 4 /* no connection, or a bad argument */

/**
 * On a connected instance: writes the 64-byte `report` (none when null) and
 * reads one reply of up to `capacity` bytes (1 to 4096) into `reply`,
 * waiting at most `waitMs`. `*received` gets the count the system gave,
 * which may exceed `capacity` when the board sent more. The exchange takes
 * the board's turn as every command does, collects first a reply the board
 * still owes from a failed query, and leaves the board owing one when its
 * own read fails, so no command after it takes a late reply for its own.
 */
VESKCFP2_API int32_t brevant_diagnosticExchange(CFP2INSTANCE *instance, const uint8_t *report,
                                                uint8_t *reply, uint32_t capacity,
                                                uint32_t waitMs, uint32_t *received);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */

#endif /* BREVANT_DIAGNOSTICS_H */
