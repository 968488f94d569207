// interfaces.cpp - registers board interfaces with SetupAPI and the registry.
#include "interfaces.h"

#include <windows.h>
#include <setupapi.h>

#include <cctype>
#include <cstdio>

namespace wine_bench {
namespace {

// The board driver's interface class and the system's USB device class.
const GUID kBoardInterfaceClass = {
    0x5354FA28, 0x6D14, 0x4E35, {0xA1, 0xF5, 0x75, 0xBB, 0x54, 0xE6, 0x03, 0x0F}};
const GUID kUsbDeviceClass = {
    0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

std::string failed(const char *what) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed with error %lu", what, GetLastError());
    return text;
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string registerInterface(unsigned productId, const std::string &serial) {
    char instanceId[64];
    std::snprintf(instanceId, sizeof instanceId, "USB\\VID_04D8&PID_%04X\\%s", productId,
                  serial.c_str());

    HDEVINFO set = SetupDiCreateDeviceInfoList(&kUsbDeviceClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) return failed("SetupDiCreateDeviceInfoList");
    std::string error;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiCreateDeviceInfoA(set, instanceId, &kUsbDeviceClass, nullptr, nullptr, 0,
                                  &device)) {
        error = failed("SetupDiCreateDeviceInfoA");
    } else if (!SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) {
        error = failed("SetupDiRegisterDeviceInfo");
    } else if (!SetupDiCreateDeviceInterfaceA(set, &device, &kBoardInterfaceClass, nullptr, 0,
                                              &interfaceData)) {
        error = failed("SetupDiCreateDeviceInterfaceA");
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!error.empty()) return error;
    return setLinked(productId, serial, true);
}

std::string setLinked(unsigned productId, const std::string &serial, bool linked) {
    // The interface's key is named after its path with "\\?\" turned into
    // "##?#"; "Linked" sits under its "#\Control" subkey.
    char keyName[256];
    std::snprintf(keyName, sizeof keyName,
                  "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
                  "{5354FA28-6D14-4E35-A1F5-75BB54E6030F}\\"
                  "##?#usb#vid_04d8&pid_%04x#%s#{5354fa28-6d14-4e35-a1f5-75bb54e6030f}\\#\\Control",
                  productId, lower(serial).c_str());
    HKEY key = nullptr;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, KEY_SET_VALUE,
                                  nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return failed("RegCreateKeyExA");
    }
    const DWORD value = linked ? 1 : 0;
    status = RegSetValueExA(key, "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value),
                            sizeof value);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return failed("RegSetValueExA");
    }
    return {};
}

}  // namespace wine_bench
