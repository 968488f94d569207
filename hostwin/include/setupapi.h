/*
 * setupapi.h - the virtual Windows' device-installation functions: the part
 * of SetupAPI that lists present device interfaces of a class.
 */
#ifndef HOSTWIN_SETUPAPI_H
#define HOSTWIN_SETUPAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID HDEVINFO;

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

#define SPINT_ACTIVE 0x00000001u

/* SetupAPI packs its records to 1 byte on 32-bit Windows and to 8 bytes on
 * 64-bit Windows: the interface detail record's fixed part (the size field and
 * the first path character) is 5 bytes on the one and 8 on the other, and
 * callers must put exactly that in its size field. */
#if UINTPTR_MAX > 0xFFFFFFFFu
#pragma pack(push, 8)
#else
#pragma pack(push, 1)
#endif

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

#pragma pack(pop)

HOSTWIN_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator,
                                                 HWND hwndParent, DWORD Flags);
HOSTWIN_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet,
                                                    PSP_DEVINFO_DATA DeviceInfoData,
                                                    const GUID *InterfaceClassGuid,
                                                    DWORD MemberIndex,
                                                    PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
HOSTWIN_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
HOSTWIN_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

#ifdef __cplusplus
}
#endif

#endif /* HOSTWIN_SETUPAPI_H */
