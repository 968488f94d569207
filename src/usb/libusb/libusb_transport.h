// libusb_transport.h - the libusb backend, for real boards on Linux.
//
// Boards are the USB devices with vendor 0x04D8 and product 0x8248 (type 0)
// or 0x8348 (type 1), listed in the order of bus number and port path; a
// device index is a position in that list. Each device's identity text
// ("vid_04d8&pid_8348") is what the match texts are searched in, as in the
// Windows registry. A pipe is one user of a shared, opened handle with
// interface 0 claimed: the first user opens, sets configuration 1 on a
// device that has none, detaches a kernel driver bound to the interface and
// claims it; the last one releases, re-attaches the driver and closes.
// Endpoint 0x01 takes reports, 0x81 gives replies, each with the transfer
// type its descriptor names. Reads ask for whole packets of the IN endpoint
// and give the caller at most what it asked for, with the count that came.
// A transfer that met a stalled endpoint clears the halt before it fails.
//
// One libusb context serves the process, made on first use and tried again
// by a later lookup when it could not be made; a child made by fork makes
// its own and never touches its parent's handles. Transfers are
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
// Transfers given up on because they did not complete even after a second
// cancel; each is kept until its device's handle closes (0 unless the
// system misbehaves).
unsigned abandonedTransfers();
// Makes the next `count` attempts to start libusb fail as on a system where
// USB is not ready yet (for tests).
void failNextStarts(unsigned count);

}  // namespace libusb
}  // namespace VESK

#endif
