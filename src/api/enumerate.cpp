// enumerate.cpp - lists the attached boards of a type with the first byte of
// each one's EEPROM (the first serial character).
#include "api/board.h"
#include "protocol/eeprom.h"

using namespace brevant;

namespace {
constexpr std::uint32_t MAX_DEVICE_SCAN = 127;
}

extern "C" {

int32_t VESKCFP2_CALL veskcfp2_enumerateDevices(int32_t boardType, uint16_t *indices,
                                                uint8_t *firstBytes) {
    // Any type other than 0 or 1 lists every device of the board driver.
    const char *matchText = boardType == 0   ? VESK::MATCH_8248
                            : boardType == 1 ? VESK::MATCH_8348
                                             : "";

    // The lookups and probes below all see one listing of the devices.
    const VESK::DeviceListHold oneListing;

    // Every member index is tried: a gap in the list does not end the scan.
    std::uint16_t found[MAX_DEVICE_SCAN];
    int32_t count = 0;
    for (std::uint32_t index = 0; index < MAX_DEVICE_SCAN; ++index) {
        if (VESK::findDevicePath(index, matchText, nullptr, 0, nullptr) == VESK::LOOKUP_OK) {
            found[count++] = static_cast<std::uint16_t>(index);
        }
    }
    if (indices != nullptr) {
        for (int32_t k = 0; k < count; ++k) indices[k] = found[k];
    }
    if (firstBytes == nullptr) return count;

    // Probe each board on a short-lived transport of its own. A board whose
    // EEPROM does not answer is still listed; its byte reads as 0.
    for (int32_t k = 0; k < count; ++k) {
        VESK::USBAPI probe(found[k], matchText, VESK::PIPE_SUFFIX, VESK::PIPE_SUFFIX);
        probe.openPipes();
        std::uint8_t first = 0;
        eepromRead(probe, 0, &first);
        probe.closePipes();
        firstBytes[2 * k] = first;
    }
    return count;
}

}  // extern "C"
