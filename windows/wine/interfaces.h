// interfaces.h - makes a board's device interface known to Windows the way
// the board driver's installation does: a USB device instance registered
// through SetupAPI, its interface of the board driver's class, and the
// interface marked as linked (present). Used under Wine, where no driver
// installs boards.
#ifndef BREVANT_WINE_INTERFACES_H
#define BREVANT_WINE_INTERFACES_H

#include <string>

namespace wine_bench {

// Registers "USB\VID_04D8&PID_<productId>\<serial>" and its interface, and
// marks the interface present. Returns an empty text or what failed.
std::string registerInterface(unsigned productId, const std::string &serial);

// Marks the interface present or absent (its "Linked" value), as Windows
// does when the device is plugged in or removed.
std::string setLinked(unsigned productId, const std::string &serial, bool linked);

}  // namespace wine_bench

#endif
