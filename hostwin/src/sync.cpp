// sync.cpp - the virtual Windows' named mutexes and shared sections: objects
// of the whole system, found by name, alive while a handle or view keeps
// them. One process is all there is here, so a mutex held by another thread
// is not waited for: the wait runs out on the virtual clock.
#include <windows.h>

#include <string>

#include "state.h"

using namespace hostwin;

namespace hostwin {

bool isMutex(HANDLE handle) {
    State &s = state();
    std::lock_guard<std::recursive_mutex> hold(s.lock);
    return findObject(s, handle, Object::Mutex) != nullptr;
}

// The named mutex a handle stands for; null when it is no mutex handle.
NamedMutex *namedMutex(State &s, HANDLE handle) {
    Object *o = findObject(s, handle, Object::Mutex);
    if (o == nullptr) return nullptr;
    auto named = s.mutexes.find(o->name);
    return named == s.mutexes.end() ? nullptr : &named->second;
}

DWORD waitForMutex(HANDLE handle, DWORD milliseconds) {
    Call call(Fn::WaitForMutex);
    if (call.fault()) {
        setError(*call.fault());
        return WAIT_FAILED;
    }
    State &s = call.s;
    NamedMutex *found = namedMutex(s, handle);
    if (found == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    NamedMutex &m = *found;
    const std::thread::id me = std::this_thread::get_id();
    if (m.recursion != 0 && m.owner != me) {
        if (milliseconds != INFINITE) s.clock += milliseconds;
        return WAIT_TIMEOUT;
    }
    m.owner = me;
    ++m.recursion;
    if (m.abandonNext) {
        m.abandonNext = false;
        return WAIT_ABANDONED;
    }
    return WAIT_OBJECT_0;
}

void closeNamed(State &s, const Object &object) {
    if (object.kind == Object::Mutex) {
        auto it = s.mutexes.find(object.name);
        if (it != s.mutexes.end() && --it->second.handles == 0) s.mutexes.erase(it);
    } else if (object.kind == Object::Section) {
        auto it = s.sections.find(object.name);
        if (it != s.sections.end() && --it->second.handles == 0) s.sections.erase(it);
    }
}

}  // namespace hostwin

namespace {

std::string nameOf(State &s, LPCSTR name) {
    return name != nullptr ? std::string(name) : "<unnamed " + std::to_string(++s.unnamed) + ">";
}

}  // namespace

extern "C" {

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr || dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pSecurityDescriptor = SECURITY_DESCRIPTOR{static_cast<BYTE>(dwRevision), FALSE, nullptr};
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, void *pDacl,
                                      BOOL) {
    if (pSecurityDescriptor == nullptr || pSecurityDescriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pSecurityDescriptor->daclPresent = bDaclPresent;
    pSecurityDescriptor->dacl = pDacl;
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    Call call(Fn::CreateMutexA);
    if (call.fault()) {
        setError(*call.fault());
        return nullptr;
    }
    State &s = call.s;
    Object o{Object::Mutex};
    o.name = nameOf(s, lpName);
    const bool existed = s.mutexes.count(o.name) != 0;
    NamedMutex &m = s.mutexes[o.name];
    ++m.handles;
    if (bInitialOwner && !existed) {
        m.owner = std::this_thread::get_id();
        m.recursion = 1;
    }
    const HANDLE handle = newHandle(s, o);
    setError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    Call call(Fn::ReleaseMutex);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    NamedMutex *found = namedMutex(s, hMutex);
    if (found == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    NamedMutex &m = *found;
    if (m.recursion == 0 || m.owner != std::this_thread::get_id()) {
        setError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m.recursion == 0) m.owner = std::thread::id();
    return TRUE;
}

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect, DWORD dwMaximumSizeHigh,
                                 DWORD dwMaximumSizeLow, LPCSTR lpName) {
    Call call(Fn::CreateFileMappingA);
    if (call.fault()) {
        setError(*call.fault());
        return nullptr;
    }
    State &s = call.s;
    // Only sections backed by the paging file are offered.
    if (hFile != INVALID_HANDLE_VALUE || flProtect != PAGE_READWRITE || dwMaximumSizeHigh != 0 ||
        dwMaximumSizeLow == 0) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Object o{Object::Section};
    o.name = nameOf(s, lpName);
    const bool existed = s.sections.count(o.name) != 0;
    NamedSection &section = s.sections[o.name];
    if (!existed) section.bytes = std::make_shared<std::vector<std::uint8_t>>(dwMaximumSizeLow, 0);
    ++section.handles;
    const HANDLE handle = newHandle(s, o);
    setError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD, DWORD dwFileOffsetHigh, DWORD dwFileOffsetLow,
                            size_t dwNumberOfBytesToMap) {
    Call call(Fn::MapViewOfFile);
    if (call.fault()) {
        setError(*call.fault());
        return nullptr;
    }
    State &s = call.s;
    Object *o = findObject(s, hFileMappingObject, Object::Section);
    auto named = o != nullptr ? s.sections.find(o->name) : s.sections.end();
    if (named == s.sections.end()) {
        setError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const auto &bytes = named->second.bytes;
    if (dwFileOffsetHigh != 0 || dwFileOffsetLow != 0 || dwNumberOfBytesToMap > bytes->size()) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Each view is told apart by its address; a second view of one section
    // is offered as the same memory, which a caller may map once only here.
    if (s.views.count(bytes->data()) != 0) {
        setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    s.views.emplace(bytes->data(), bytes);
    return bytes->data();
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
    Call call(Fn::UnmapViewOfFile);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    if (call.s.views.erase(lpBaseAddress) == 0) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
