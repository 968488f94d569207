// libusb_transport.h - the libusb backend, for real boards on Linux.
//
// Boards are the USB devices with vendor 0x04D8 and product 0x8248 (type 0)
// or 0x8348 (type 1), listed in the order of bus number and port path; a
// device index is a position in that list. Each device's identity text
// ("vid_04d8&pid_8348") is what the match texts are searched in, as in the
// Windows registry. A pipe is one user of a shared, opened handle with
// interface 0 claimed: the first user opens, detaches a kernel driver bound
// to the interface and claims it; the last one releases, re-attaches the
// driver and closes. Endpoint 0x01 takes reports, 0x81 gives replies, each
// with the transfer type its descriptor names.
//
// One libusb context serves the process, made on first use. Transfers are
// submitted and their events handled on the calling thread; a transfer that
// timed out is cancelled and completed before its buffer is given back.
#ifndef BREVANT_USB_LIBUSB_TRANSPORT_H
#define BREVANT_USB_LIBUSB_TRANSPORT_H

#include "usb/backend.h"

namespace VESK {
namespace libusb {

Backend backend();

// Devices opened and not yet closed, and transfers submitted and not yet
// completed, in this process (for tests: both are 0 when nothing is open).
unsigned openDevices();
unsigned activeTransfers();
// Transfers that never completed, even after a second cancel, and whose
// memory was therefore never released (0 unless the system misbehaves).
unsigned abandonedTransfers();

}  // namespace libusb
}  // namespace VESK

#endif
