// files.cpp - the virtual Windows' file and synchronisation services: device
// endpoints opened as files, synchronous writes, overlapped reads that
// complete from the device's reply queue, events and waits on the virtual
// clock.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include <chrono>
#include <thread>

#include "state.h"

using namespace hostwin;

namespace {

bool sameText(const std::string &a, const char *b) {
    const std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// The next reply of an interface, when it has arrived by `time`.
std::optional<QueuedReply> takeReply(State &s, InterfaceId id, std::uint64_t time) {
    Interface &itf = s.interfaces[id];
    if (itf.replies.empty() || itf.replies.front().arrivesAt > time) return std::nullopt;
    QueuedReply reply = std::move(itf.replies.front());
    itf.replies.pop_front();
    return reply;
}

std::deque<PendingRead>::iterator findRead(State &s, const OVERLAPPED *overlapped) {
    return std::find_if(s.pending.begin(), s.pending.end(),
                        [&](const PendingRead &r) { return r.overlapped == overlapped; });
}

// Ends a read that was cancelled or whose device went away.
void endRead(State &s, PendingRead &read, DWORD error) {
    read.overlapped->Internal = error;
    read.overlapped->InternalHigh = 0;
    signal(s, read.overlapped->hEvent);
}

// Lets virtual time run for up to `ms` for `read`: completes it when its
// device's next reply arrives in that time. True when the read ended.
bool runRead(State &s, std::deque<PendingRead>::iterator read, std::uint64_t ms) {
    Object *file = findObject(s, reinterpret_cast<HANDLE>(read->file), Object::File);
    if (read->cancelled || file == nullptr || !fileAlive(s, file->file)) {
        endRead(s, *read, read->cancelled ? ERROR_OPERATION_ABORTED : ERROR_INVALID_HANDLE);
        s.pending.erase(read);
        return true;
    }
    Interface &itf = s.interfaces[file->file.interface];
    if (itf.replies.empty()) return false;
    const std::uint64_t at = std::max(s.clock, itf.replies.front().arrivesAt);
    if (ms != INFINITE && at > s.clock + ms) return false;
    s.clock = at;
    QueuedReply reply = std::move(itf.replies.front());
    itf.replies.pop_front();
    completeRead(s, *read, std::move(reply));
    s.pending.erase(read);
    return true;
}

// Forgets the reads that still use `overlapped` records tied to a handle
// being closed: the caller gave them up before the system had finished.
void abandonReads(State &s, std::uintptr_t handle, bool isEvent) {
    for (auto it = s.pending.begin(); it != s.pending.end();) {
        const bool tied = isEvent ? reinterpret_cast<std::uintptr_t>(it->overlapped->hEvent) == handle
                                  : it->file == handle;
        if (tied) {
            ++s.abandoned;
            it = s.pending.erase(it);
        } else {
            ++it;
        }
    }
}

// Whether a new open of an endpoint agrees with the handles already open on
// it: each side must share the access the other one uses.
bool sharingAllows(State &s, InterfaceId id, bool read, bool write, DWORD shareMode) {
    for (const auto &entry : s.objects) {
        if (entry.second.kind != Object::File || entry.second.file.interface != id) continue;
        const FileObject &open = entry.second.file;
        if ((read && !(open.shareMode & FILE_SHARE_READ)) || (write && !(open.shareMode & FILE_SHARE_WRITE)))
            return false;
        if ((open.canRead && !(shareMode & FILE_SHARE_READ)) ||
            (open.canWrite && !(shareMode & FILE_SHARE_WRITE)))
            return false;
    }
    return true;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) {
    Call call(Fn::CreateFileA);
    if (call.fault()) {
        setError(*call.fault());
        return INVALID_HANDLE_VALUE;
    }
    State &s = call.s;
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        setError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    for (InterfaceId id : s.order) {
        Interface &itf = s.interfaces[id];
        if (!itf.present || !sameText(endpointName(itf.desc.path), lpFileName)) continue;
        const bool read = (dwDesiredAccess & GENERIC_READ) != 0;
        const bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
        if ((read && !itf.desc.openForRead) || (write && !itf.desc.openForWrite)) {
            setError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        if (!sharingAllows(s, id, read, write, dwShareMode)) {
            setError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
        Object o{Object::File};
        o.file = {id, itf.generation, read, write, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0,
                  dwShareMode};
        return newHandle(s, o);
    }
    setError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

namespace {
// WriteFile with the platform locked; `pace` receives the real time the
// device takes over it.
BOOL writeLocked(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                 LPOVERLAPPED lpOverlapped, std::uint32_t &pace) {
    Call call(Fn::WriteFile);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    Object *o = findObject(s, hFile, Object::File);
    if (o == nullptr || !fileAlive(s, o->file)) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!o->file.canWrite) {
        setError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (o->file.overlapped && lpOverlapped == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Interface &itf = s.interfaces[o->file.interface];
    if (itf.desc.endpoint) {
        std::optional<Reply> reply =
            itf.desc.endpoint->onWrite(static_cast<const std::uint8_t *>(lpBuffer), nNumberOfBytesToWrite);
        if (reply) itf.replies.push_back({std::move(*reply), s.clock + reply->latencyMs});
        pace = itf.desc.endpoint->paceMs();
    }
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = ERROR_SUCCESS;
        lpOverlapped->InternalHigh = nNumberOfBytesToWrite;
        signal(s, lpOverlapped->hEvent);
    }
    return TRUE;
}
}  // namespace

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    std::uint32_t pace = 0;
    const BOOL written = writeLocked(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped, pace);
    // Outside the lock: the other devices go on meanwhile.
    if (pace != 0) std::this_thread::sleep_for(std::chrono::milliseconds(pace));
    return written;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    Call call(Fn::ReadFile);
    call.s.readLengths.push_back(static_cast<std::uint32_t>(nNumberOfBytesToRead));
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    Object *o = findObject(s, hFile, Object::File);
    if (o == nullptr || !fileAlive(s, o->file)) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!o->file.canRead) {
        setError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!o->file.overlapped) {
        // Only overlapped reads are supported by the endpoint driver here.
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpOverlapped == nullptr) {
        setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    PendingRead read{reinterpret_cast<std::uintptr_t>(hFile), lpOverlapped,
                     static_cast<std::uint8_t *>(lpBuffer), nNumberOfBytesToRead, false};
    if (std::optional<QueuedReply> reply = takeReply(s, o->file.interface, s.clock)) {
        completeRead(s, read, std::move(*reply));
        if (lpNumberOfBytesRead != nullptr) {
            *lpNumberOfBytesRead = static_cast<DWORD>(lpOverlapped->InternalHigh);
        }
        return TRUE;
    }
    lpOverlapped->Internal = kStatusPending;
    lpOverlapped->InternalHigh = 0;
    s.pending.push_back(read);
    setError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    Call call(Fn::GetOverlappedResult);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    if (lpOverlapped == nullptr || findObject(s, hFile, Object::File) == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto read = findRead(s, lpOverlapped);
    if (read != s.pending.end()) {
        // A wait that could never end would hang a real system; here it
        // reports the read as still incomplete.
        if (!bWait || !runRead(s, read, INFINITE)) {
            setError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    if (lpOverlapped->Internal == kStatusPending) {
        setError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (lpOverlapped->Internal != ERROR_SUCCESS) {
        setError(static_cast<DWORD>(lpOverlapped->Internal));
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
    Call call(Fn::CancelIo);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    State &s = call.s;
    Object *o = findObject(s, hFile, Object::File);
    if (o == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The cancelled read ends when it is next looked at (a wait or
    // GetOverlappedResult); until then the system still owns its record.
    for (PendingRead &r : s.pending) {
        if (r.file == reinterpret_cast<std::uintptr_t>(hFile)) r.cancelled = true;
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Call call(Fn::CloseHandle);
    State &s = call.s;
    auto it = s.objects.find(reinterpret_cast<std::uintptr_t>(hObject));
    if (it == s.objects.end() || it->second.kind == Object::DeviceList || it->second.kind == Object::RegistryKey) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A refused close still releases the handle: the caller cannot use it
    // again either way.
    if (it->second.kind == Object::File || it->second.kind == Object::Event)
        abandonReads(s, it->first, it->second.kind == Object::Event);
    closeNamed(s, it->second);
    s.objects.erase(it);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR /*lpName*/) {
    Call call(Fn::CreateEventA);
    if (call.fault()) {
        setError(*call.fault());
        return nullptr;
    }
    Object o{Object::Event};
    o.event = {bManualReset != FALSE, bInitialState != FALSE};
    return newHandle(call.s, o);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    Call call(Fn::ResetEvent);
    if (call.fault()) {
        setError(*call.fault());
        return FALSE;
    }
    Object *o = findObject(call.s, hEvent, Object::Event);
    if (o == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    o->event.signalled = false;
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (isMutex(hHandle)) return waitForMutex(hHandle, dwMilliseconds);
    Call call(Fn::WaitForSingleObject);
    if (call.fault()) {
        setError(*call.fault());
        return WAIT_FAILED;
    }
    State &s = call.s;
    Object *o = findObject(s, hHandle, Object::Event);
    if (o == nullptr) {
        setError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!o->event.signalled) {
        // The read this event belongs to may complete within the wait.
        auto read = std::find_if(s.pending.begin(), s.pending.end(), [&](const PendingRead &r) {
            return r.overlapped->hEvent == hHandle;
        });
        if (read == s.pending.end() || !runRead(s, read, dwMilliseconds)) {
            if (dwMilliseconds != INFINITE) s.clock += dwMilliseconds;
            return WAIT_TIMEOUT;
        }
        o = findObject(s, hHandle, Object::Event);
    }
    if (!o->event.manualReset) o->event.signalled = false;
    return WAIT_OBJECT_0;
}

}  // extern "C"
