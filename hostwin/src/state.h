// state.h - the inside of the virtual Windows: one lock, the device
// interfaces, the handle table, pending I/O, faults and counters.
#ifndef HOSTWIN_STATE_H
#define HOSTWIN_STATE_H

#include <windows.h>

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hostwin/platform.h"

namespace hostwin {

// Marks an OVERLAPPED record whose transfer has not completed.
constexpr ULONG_PTR kStatusPending = 0x103;

struct QueuedReply {
    Reply reply;
    std::uint64_t arrivesAt;
};

struct Interface {
    InterfaceDesc desc;
    bool present = true;
    // Bumped at each removal: handles opened before it are dead.
    std::uint32_t generation = 0;
    std::deque<QueuedReply> replies;
};

struct FileObject {
    InterfaceId interface;
    std::uint32_t generation;
    bool canRead, canWrite, overlapped;
    DWORD shareMode;  // FILE_SHARE_READ / FILE_SHARE_WRITE granted to later opens
};
struct EventObject {
    bool manualReset;
    bool signalled;
};
struct DeviceListObject {
    std::vector<InterfaceId> members;  // snapshot taken when the list was built
};
struct RegistryKeyObject {
    InterfaceId interface;
};

struct Object {
    enum Kind { File, Event, DeviceList, RegistryKey } kind;
    FileObject file{};
    EventObject event{};
    DeviceListObject list{};
    RegistryKeyObject key{};
};

// A read that did not complete at once.
struct PendingRead {
    std::uintptr_t file;
    OVERLAPPED *overlapped;
    std::uint8_t *buffer;
    DWORD length;
    bool cancelled;
};

struct Fault {
    DWORD error;
    unsigned skip;
    unsigned count;
};

struct State {
    std::recursive_mutex lock;
    bool configured = false;
    SetupHook defaultSetup = nullptr;
    SetupHook listHook = nullptr;

    std::map<InterfaceId, Interface> interfaces;
    std::vector<InterfaceId> order;  // present and removed, in list order
    InterfaceId nextInterface = 1;

    std::map<std::uintptr_t, Object> objects;
    std::uintptr_t nextHandle = 0x1000;
    std::deque<PendingRead> pending;

    std::array<std::uint64_t, static_cast<unsigned>(Fn::Count)> calls{};
    std::array<std::deque<Fault>, static_cast<unsigned>(Fn::Count)> faults{};
    std::vector<std::uint32_t> readLengths;
    std::uint64_t abandoned = 0;
    std::uint64_t clock = 0;
};

State &state();

// Takes the lock and enters one system call: runs the default setup when the
// platform was never configured, counts the call, and answers the error of
// a fault that fires now.
class Call {
   public:
    explicit Call(Fn fn);
    std::optional<DWORD> fault() const { return fault_; }
    State &s;

   private:
    std::lock_guard<std::recursive_mutex> hold_;
    std::optional<DWORD> fault_;
};

// Handle table.
HANDLE newHandle(State &s, Object object);
Object *findObject(State &s, HANDLE handle, Object::Kind kind);
void setError(DWORD error);

// Whether a file object's device is still the one it was opened on.
bool fileAlive(State &s, const FileObject &file);
// Completes a read from the next reply of its interface, if one has
// arrived. Returns the completed byte count through the OVERLAPPED record.
void completeRead(State &s, PendingRead &read, QueuedReply reply);
void signal(State &s, HANDLE event);

}  // namespace hostwin

#endif
