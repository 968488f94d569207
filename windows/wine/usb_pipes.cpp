// usb_pipes.cpp - sets USB-like read timeouts on the read pipes a DLL opens
// (see usb_pipes.h): its CreateFileA import is pointed at openPipe below.
#include "usb_pipes.h"

#include <windows.h>

#include <cstring>

namespace wine_bench {
namespace {

HANDLE WINAPI openPipe(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE pattern) {
    const HANDLE handle = CreateFileA(name, access, share, security, disposition, flags, pattern);
    if (handle != INVALID_HANDLE_VALUE && (access & GENERIC_READ) != 0 &&
        (flags & FILE_FLAG_OVERLAPPED) != 0) {
        const DWORD error = GetLastError();
        // A read returns as soon as anything has come; the total timeouts
        // stay off, so a read with nothing to take waits for the caller.
        COMMTIMEOUTS timeouts;
        std::memset(&timeouts, 0, sizeof timeouts);
        timeouts.ReadIntervalTimeout = MAXDWORD;
        SetCommTimeouts(handle, &timeouts);  // fails on what is no port: fine
        SetLastError(error);
    }
    return handle;
}

}  // namespace

std::string readPipesAsUsb(const char *dll) {
    auto *const base = reinterpret_cast<BYTE *>(GetModuleHandleA(dll));
    if (base == nullptr) return std::string(dll) + " is not loaded";
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *module = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         module->Name != 0; ++module) {
        if (_stricmp(reinterpret_cast<const char *>(base + module->Name), "kernel32.dll") != 0) continue;
        auto *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + module->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), "CreateFileA") != 0) continue;
            DWORD was = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &was)) {
                return "cannot write the import table";
            }
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&openPipe);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, was, &was);
            return "";
        }
    }
    return std::string(dll) + " imports no CreateFileA";
}

}  // namespace wine_bench
