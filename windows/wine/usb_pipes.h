// usb_pipes.h - makes the board endpoints that brevant.dll opens under Wine
// read as USB pipes do. The board server's endpoints are terminals, which
// Wine reads as serial ports: with a port's default timeouts a read goes on
// until its buffer is full, where a USB read ends with the packet that came,
// whatever its length. Setting the port's read timeouts to "return what has
// come, wait while nothing has" gives the USB behaviour; this program sets
// them on every read pipe the DLL opens, by taking the DLL's CreateFileA
// import. Test programs only: the DLL itself is the one users run.
#ifndef BREVANT_WINE_USB_PIPES_H
#define BREVANT_WINE_USB_PIPES_H

#include <string>

namespace wine_bench {

// Takes the CreateFileA import of the loaded `dll`. Returns an empty text or
// what failed.
std::string readPipesAsUsb(const char *dll);

}  // namespace wine_bench

#endif
