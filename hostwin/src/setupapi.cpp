// setupapi.cpp - the virtual Windows' SetupAPI: device lists of the present
// interfaces of the board driver's class, with the record-size checks the
// real functions make.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "state.h"

using namespace hostwin;

namespace {

const GUID kBoardClass = {0x5354FA28, 0x6D14, 0x4E35, {0xA1, 0xF5, 0x75, 0xBB, 0x54, 0xE6, 0x03, 0x0F}};

bool sameGuid(const GUID *a, const GUID &b) {
    return a != nullptr && std::memcmp(a, &b, sizeof b) == 0;
}

// The list member an interface record names, or null.
const Interface *memberOf(State &s, HDEVINFO set, const SP_DEVICE_INTERFACE_DATA *data,
                          DWORD *error) {
    Object *list = findObject(s, set, Object::DeviceList);
    if (list == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        *error = ERROR_INVALID_USER_BUFFER;
        return nullptr;
    }
    const std::size_t member = data->Reserved;
    if (member >= list->list.members.size()) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return &s.interfaces[list->list.members[member]];
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR /*Enumerator*/,
                                     HWND /*hwndParent*/, DWORD Flags) {
    Call call(Fn::SetupDiGetClassDevsA);
    if (call.fault()) {
        setError(*call.fault());
        return INVALID_HANDLE_VALUE;
    }
    State &s = call.s;
    if (s.listHook != nullptr) s.listHook();
    Object o{Object::DeviceList};
    // Only interfaces of the board driver's class exist on this system.
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0 && sameGuid(ClassGuid, kBoardClass)) {
        for (InterfaceId id : s.order) {
            if (s.interfaces[id].present || (Flags & DIGCF_PRESENT) == 0) o.list.members.push_back(id);
        }
    }
    return newHandle(s, o);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Call call(Fn::SetupDiEnumDeviceInterfaces);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    Object *list = findObject(s, DeviceInfoSet, Object::DeviceList);
    if (list == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        setError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!sameGuid(InterfaceClassGuid, kBoardClass) || MemberIndex >= list->list.members.size()) {
        setError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = kBoardClass;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    LPDWORD RequiredSize, PSP_DEVINFO_DATA /*DeviceInfoData*/) {
    Call call(Fn::SetupDiGetDeviceInterfaceDetailA);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    DWORD error = ERROR_SUCCESS;
    const Interface *itf = memberOf(s, DeviceInfoSet, DeviceInterfaceData, &error);
    if (itf == nullptr) {
        setError(error);
        return FALSE;
    }
    const DWORD required = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + itf->desc.path.size() + 1);
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) {
            setError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (RequiredSize != nullptr) *RequiredSize = required;
        setError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        setError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInterfaceDetailDataSize < required) {
        setError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, itf->desc.path.c_str(), itf->desc.path.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Call call(Fn::SetupDiDestroyDeviceInfoList);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    if (findObject(s, DeviceInfoSet, Object::DeviceList) == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    s.objects.erase(reinterpret_cast<std::uintptr_t>(DeviceInfoSet));
    return TRUE;
}

}  // extern "C"
