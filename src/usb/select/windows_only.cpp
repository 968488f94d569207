// windows_only.cpp - brevant.dll has one backend: Windows' own SetupAPI,
// registry and files. No simulator is built into it.
#include "usb/windows/windows_transport.h"

namespace VESK {

const Backend &backend() {
    static const Backend chosen = windows::backend("windows", false);
    return chosen;
}

}  // namespace VESK
