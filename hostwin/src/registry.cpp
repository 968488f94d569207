// registry.cpp - the virtual Windows' registry: one key per device interface
// under the board driver's DeviceClasses key, holding "DeviceInstance".
// Key and value names are compared without case, as Windows does.
#include <windows.h>

#include <cctype>
#include <cstring>

#include "state.h"

using namespace hostwin;

namespace {

bool equalNoCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// "SYSTEM\CurrentControlSet\Control\DeviceClasses\{guid}\##?#usb#..."
std::string keyNameOf(const std::string &path) {
    std::string listed = path;
    if (listed.size() >= 4) listed[0] = listed[1] = listed[3] = '#';
    return std::string("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") + kBoardInterfaceClass +
           "\\" + listed;
}

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                             PHKEY phkResult) {
    Call call(Fn::RegOpenKeyExA);
    if (call.fault()) return static_cast<LSTATUS>(*call.fault());
    State &s = call.s;
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    if (hKey != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    // The device keys are readable by every user, writable only by
    // administrators: programs are not run as one here.
    if ((samDesired & ~static_cast<REGSAM>(KEY_READ)) != 0) return ERROR_ACCESS_DENIED;
    if (lpSubKey == nullptr) return ERROR_FILE_NOT_FOUND;
    for (InterfaceId id : s.order) {
        const Interface &itf = s.interfaces[id];
        if (!itf.desc.registryKey || !equalNoCase(keyNameOf(itf.desc.path), lpSubKey)) continue;
        Object o{Object::RegistryKey};
        o.key.interface = id;
        *phkResult = static_cast<HKEY>(newHandle(s, o));
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    Call call(Fn::RegQueryValueExA);
    if (call.fault()) return static_cast<LSTATUS>(*call.fault());
    State &s = call.s;
    Object *key = findObject(s, hKey, Object::RegistryKey);
    if (key == nullptr) return ERROR_INVALID_HANDLE;
    const Interface &itf = s.interfaces[key->key.interface];
    if (lpValueName == nullptr || !equalNoCase(lpValueName, "DeviceInstance") ||
        !itf.desc.deviceInstance) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    const std::string &value = *itf.desc.deviceInstance;
    const DWORD size = static_cast<DWORD>(value.size() + (itf.desc.deviceInstanceTerminated ? 1 : 0));
    if (lpType != nullptr) *lpType = REG_SZ;
    if (lpData == nullptr) {
        if (lpcbData != nullptr) *lpcbData = size;
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, value.data(), value.size());
    if (itf.desc.deviceInstanceTerminated) lpData[value.size()] = 0;
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    Call call(Fn::RegCloseKey);
    if (call.fault()) return static_cast<LSTATUS>(*call.fault());
    State &s = call.s;
    if (findObject(s, hKey, Object::RegistryKey) == nullptr) return ERROR_INVALID_HANDLE;
    s.objects.erase(reinterpret_cast<std::uintptr_t>(hKey));
    return ERROR_SUCCESS;
}

}  // extern "C"
