/*
 * windows.h - the virtual Windows: the subset of the Win32 API that the
 * brevant transport calls, for building and testing on hosts that are not
 * Windows. Types have the sizes they have on Windows of the same pointer
 * width (64-bit Windows on a 64-bit host, 32-bit on a 32-bit one); the functions
 * behave as Windows documents them and are implemented in hostwin/src.
 * Tests steer this platform through <hostwin/platform.h>.
 */
#ifndef HOSTWIN_WINDOWS_H
#define HOSTWIN_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define HOSTWIN_API __attribute__((visibility("default")))
#else
#define HOSTWIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CONST const
#define FALSE 0
#define TRUE 1
#define ANYSIZE_ARRAY 1

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef LONG LSTATUS;
typedef char CHAR;
typedef uintptr_t ULONG_PTR;
typedef void *PVOID;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef HANDLE HWND;
typedef DWORD *LPDWORD;
typedef BYTE *LPBYTE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;
typedef const GUID *LPCGUID;

/* A security descriptor; only one without a DACL (everyone may use the
   object) is offered here. */
typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BOOL daclPresent;
    void *dacl;
} SECURITY_DESCRIPTOR, *PSECURITY_DESCRIPTOR;
#define SECURITY_DESCRIPTOR_REVISION 1u

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        PVOID Pointer;
    } u;
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

/* System error codes. */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_OWNER 288L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_INVALID_USER_BUFFER 1784L

/* File access. */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

/* Waits. */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

/* Shared sections. */
#define PAGE_READWRITE 0x04u
#define FILE_MAP_ALL_ACCESS 0x000F001Fu

/* Registry. */
typedef struct HKEY__ *HKEY;
typedef HKEY *PHKEY;
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_READ 0x20019u
#define REG_SZ 1u
#define REG_BINARY 3u
#define REG_DWORD 4u

HOSTWIN_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                      DWORD dwShareMode,
                                      LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                      DWORD dwCreationDisposition,
                                      DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HOSTWIN_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                  LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
HOSTWIN_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                 LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
HOSTWIN_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                            LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
HOSTWIN_API BOOL WINAPI CancelIo(HANDLE hFile);
HOSTWIN_API BOOL WINAPI CloseHandle(HANDLE hObject);
HOSTWIN_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                       BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
HOSTWIN_API BOOL WINAPI ResetEvent(HANDLE hEvent);
HOSTWIN_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
HOSTWIN_API DWORD WINAPI GetLastError(void);
HOSTWIN_API BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
HOSTWIN_API BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                                  void *pDacl, BOOL bDaclDefaulted);
/* Named mutexes and shared sections, named objects of the whole system. */
HOSTWIN_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                       LPCSTR lpName);
HOSTWIN_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);
HOSTWIN_API HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES lpAttributes,
                                             DWORD flProtect, DWORD dwMaximumSizeHigh,
                                             DWORD dwMaximumSizeLow, LPCSTR lpName);
HOSTWIN_API LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess,
                                        DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                                        size_t dwNumberOfBytesToMap);
HOSTWIN_API BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress);
HOSTWIN_API void WINAPI SetLastError(DWORD dwErrCode);

HOSTWIN_API LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                         REGSAM samDesired, PHKEY phkResult);
HOSTWIN_API LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                            LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
HOSTWIN_API LSTATUS WINAPI RegCloseKey(HKEY hKey);

/* Formats into a buffer of at most 1024 characters, as USER32 does. */
HOSTWIN_API int wsprintfA(LPSTR buffer, LPCSTR format, ...);
/* Lower-cases a text in place and returns it (C runtime). */
HOSTWIN_API char *_strlwr(char *text);

#ifdef __cplusplus
}
#endif

#endif /* HOSTWIN_WINDOWS_H */
