// usb_access_other.cpp - a Linux library without real boards: brevantctl
// cannot tell where a board is attached nor why it did not open.
#include "transport.h"

namespace brevantctl {

std::optional<std::string> whyNotOpened(int, unsigned) { return std::nullopt; }

std::optional<BoardLocation> boardLocation(int, unsigned) { return std::nullopt; }

}  // namespace brevantctl
