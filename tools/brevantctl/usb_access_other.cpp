// usb_access_other.cpp - where the system gives brevantctl no way to tell
// why a board did not open (Windows, or a library without real boards).
#include "transport.h"

namespace brevantctl {

std::optional<std::string> whyNotOpened(int, unsigned) { return std::nullopt; }
std::optional<std::string> whyNoUsb() { return std::nullopt; }

}  // namespace brevantctl
