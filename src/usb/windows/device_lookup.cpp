// device_lookup.cpp - the Windows backend's lookup: finds a board's device interface: walks the present
// interfaces of the board driver's class through SetupAPI and checks the
// interface's "DeviceInstance" registry value for the board's vendor and
// product id.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "usb/windows/windows_transport.h"

namespace VESK {

// The interface class under which the board driver lists every board.
static const GUID DEVICE_INTERFACE_GUID = {
    0x5354FA28, 0x6D14, 0x4E35, {0xA1, 0xF5, 0x75, 0xBB, 0x54, 0xE6, 0x03, 0x0F}};

// SetupAPI checks the size fields of its records against the target's layout.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void *) == 8 ? 32 : 28),
              "interface record size of this target");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void *) == 8 ? 8 : 5),
              "fixed part of the interface detail record of this target");

namespace {

const char kRegistryKeyFormat[] =
    "SYSTEM\\CURRENTCONTROLSET\\CONTROL\\DEVICECLASSES\\"
    "{%4.2x-%2.2x-%2.2x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}\\%s";
// Characters of the formatted key name before the interface path.
constexpr std::size_t kKeyPrefixLength = 86;
constexpr std::size_t kDeviceInstanceSize = 256;

// Copies the path out of a fetched detail record, after the registry check.
int classifyPath(char *path, const char *matchText, char *destination,
                 std::uint32_t destinationSize, std::uint32_t *pathLength) {
    if (matchText != nullptr && !matchDeviceInstance(path, matchText)) return LOOKUP_NO_MATCH;
    const std::size_t length = std::strlen(path);
    if (pathLength != nullptr) *pathLength = static_cast<std::uint32_t>(length);
    if (destination == nullptr) return LOOKUP_OK;
    if (length >= destinationSize) return LOOKUP_TOO_LONG;
    std::memcpy(destination, path, length + 1);
    return LOOKUP_OK;
}

}  // namespace

namespace windows {

int findDevicePath(std::uint32_t memberIndex, const char *matchText, char *destination,
                   std::uint32_t destinationSize, std::uint32_t *pathLength) {
    if (pathLength != nullptr) *pathLength = 0;

    HDEVINFO list = SetupDiGetClassDevsA(&DEVICE_INTERFACE_GUID, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) return LOOKUP_ERROR;

    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &DEVICE_INTERFACE_GUID, memberIndex,
                                     &interfaceData)) {
        SetupDiDestroyDeviceInfoList(list);
        return LOOKUP_NO_MORE;
    }

    // The sizing call always "fails" with ERROR_INSUFFICIENT_BUFFER; only the
    // size it reports matters. A size below the record's fixed part would not
    // even hold the size field, so it is treated as an error.
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, nullptr, 0, &requiredSize, nullptr);

    int result = LOOKUP_ERROR;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = nullptr;
    if (requiredSize >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::malloc(requiredSize));
    }
    if (detail != nullptr) {
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, detail, requiredSize, nullptr,
                                             nullptr)) {
            // The system terminates the path inside the size it asked for;
            // make sure of it before treating it as text.
            reinterpret_cast<char *>(detail)[requiredSize - 1] = '\0';
            result = classifyPath(detail->DevicePath, matchText, destination, destinationSize,
                                  pathLength);
        }
    }

    std::free(detail);
    SetupDiDestroyDeviceInfoList(list);
    return result;
}

}  // namespace windows

bool matchDeviceInstance(char *path, const char *matchText) {
    // Interface paths begin "\\?\"; anything shorter cannot be one.
    const std::size_t pathLength = std::strlen(path);
    if (pathLength < 4 || matchText == nullptr) return false;

    // The interface is listed in the registry under its path with characters
    // 0, 1 and 3 turned into '#': "##?#usb#vid_04d8&pid_8348#...".
    const char saved[3] = {path[0], path[1], path[3]};
    path[0] = path[1] = path[3] = '#';

    bool found = false;
    const std::size_t keySize = kKeyPrefixLength + pathLength + 1;
    char *keyName = static_cast<char *>(std::malloc(keySize));
    if (keyName != nullptr) {
        const GUID &g = DEVICE_INTERFACE_GUID;
        wsprintfA(keyName, kRegistryKeyFormat, g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7], path);

        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE, &key) ==
            ERROR_SUCCESS) {
            char value[kDeviceInstanceSize];
            std::memset(value, 0, sizeof value);
            DWORD valueSize = kDeviceInstanceSize - 1;
            if (RegQueryValueExA(key, "DeviceInstance", nullptr, nullptr,
                                 reinterpret_cast<LPBYTE>(value), &valueSize) == ERROR_SUCCESS) {
                // A value may be stored without its terminator: search only
                // the bytes that were read.
                value[valueSize < kDeviceInstanceSize ? valueSize : kDeviceInstanceSize - 1] =
                    '\0';
                _strlwr(value);
                found = std::strstr(value, matchText) != nullptr;
            }
            RegCloseKey(key);
        }
        std::free(keyName);
    }

    path[0] = saved[0];
    path[1] = saved[1];
    path[3] = saved[2];
    return found;
}

}  // namespace VESK
