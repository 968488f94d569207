// control.cpp - the controls of the virtual Windows that tests and the bench
// use: plugging interfaces, faults, counters, the clock.
#include <algorithm>
#include <stdexcept>

#include "state.h"

namespace hostwin {

const char kBoardInterfaceClass[] = "{5354fa28-6d14-4e35-a1f5-75bb54e6030f}";

Endpoint::~Endpoint() = default;

namespace {

const char *const kNames[] = {
    "SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiDestroyDeviceInfoList", "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey",
    "CreateFileA", "WriteFile", "ReadFile", "GetOverlappedResult", "CancelIo", "CloseHandle",
    "CreateEventA", "ResetEvent", "WaitForSingleObject", "GetLastError",
    "SetLastError", "wsprintfA", "_strlwr", "CreateMutexA", "ReleaseMutex",
    "WaitForSingleObject (mutex)", "CreateFileMappingA", "MapViewOfFile", "UnmapViewOfFile"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<unsigned>(Fn::Count),
              "a name for every system call");

// Controls take the lock without counting a call; they also count as
// configuring the platform, so the default setup never runs after them.
struct Control {
    Control() : s(state()), hold(s.lock) { s.configured = true; }
    State &s;
    std::lock_guard<std::recursive_mutex> hold;
};

Interface &interfaceOf(State &s, InterfaceId id) {
    auto it = s.interfaces.find(id);
    if (it == s.interfaces.end()) throw std::invalid_argument("hostwin: unknown interface");
    return it->second;
}

}  // namespace

const char *name(Fn fn) { return kNames[static_cast<unsigned>(fn)]; }

std::string endpointName(const std::string &interfacePath) { return interfacePath + "\\MCHP_EP1"; }

InterfaceId addInterface(InterfaceDesc desc, std::optional<std::size_t> position) {
    Control c;
    const InterfaceId id = c.s.nextInterface++;
    Interface itf;
    itf.desc = std::move(desc);
    c.s.interfaces.emplace(id, std::move(itf));
    const std::size_t at = position ? std::min(*position, c.s.order.size()) : c.s.order.size();
    c.s.order.insert(c.s.order.begin() + static_cast<std::ptrdiff_t>(at), id);
    return id;
}

void removeInterface(InterfaceId id) {
    Control c;
    Interface &itf = interfaceOf(c.s, id);
    if (!itf.present) return;
    itf.present = false;
    ++itf.generation;
    itf.replies.clear();
}

void restoreInterface(InterfaceId id) {
    Control c;
    interfaceOf(c.s, id).present = true;
}

void updateInterface(InterfaceId id, const InterfaceDesc &desc) {
    Control c;
    interfaceOf(c.s, id).desc = desc;
}

InterfaceDesc interfaceDesc(InterfaceId id) {
    Control c;
    return interfaceOf(c.s, id).desc;
}

std::vector<InterfaceId> interfaces() {
    Control c;
    return c.s.order;
}

bool isPresent(InterfaceId id) {
    Control c;
    return interfaceOf(c.s, id).present;
}

std::size_t pendingReplies(InterfaceId id) {
    Control c;
    return interfaceOf(c.s, id).replies.size();
}

void dropPendingReplies(InterfaceId id) {
    Control c;
    interfaceOf(c.s, id).replies.clear();
}

void reset() {
    Control c;
    State &s = c.s;
    s.interfaces.clear();
    s.order.clear();
    // Named mutexes and sections stay with whoever holds them (a library
    // that keeps a board's turn across benches), as on a real system.
    for (auto it = s.objects.begin(); it != s.objects.end();) {
        const bool named = it->second.kind == Object::Mutex || it->second.kind == Object::Section;
        it = named ? std::next(it) : s.objects.erase(it);
    }
    s.pending.clear();
    s.calls.fill(0);
    s.readLengths.clear();
    for (auto &queue : s.faults) queue.clear();
    s.abandoned = 0;
    s.clock = 0;
    s.listHook = nullptr;
}

void setDefaultSetup(SetupHook hook) {
    State &s = state();
    std::lock_guard<std::recursive_mutex> hold(s.lock);
    s.defaultSetup = hook;
}

void markConfigured() { Control c; }

void setListHook(SetupHook hook) {
    State &s = state();
    std::lock_guard<std::recursive_mutex> hold(s.lock);
    s.listHook = hook;
}

void failCalls(Fn fn, DWORD error, unsigned count, unsigned skip) {
    Control c;
    if (count > 0) c.s.faults[static_cast<unsigned>(fn)].push_back({error, skip, count});
}

void clearFaults() {
    Control c;
    for (auto &queue : c.s.faults) queue.clear();
}

std::size_t pendingFaults() {
    Control c;
    std::size_t n = 0;
    for (const auto &queue : c.s.faults) n += queue.size();
    return n;
}

std::uint64_t calls(Fn fn) {
    Control c;
    return c.s.calls[static_cast<unsigned>(fn)];
}

std::uint64_t systemCalls() {
    Control c;
    std::uint64_t n = 0;
    for (unsigned i = 0; i < static_cast<unsigned>(Fn::Count); ++i) {
        const Fn fn = static_cast<Fn>(i);
        if (fn == Fn::GetLastError || fn == Fn::SetLastError || fn == Fn::wsprintfA || fn == Fn::_strlwr)
            continue;
        n += c.s.calls[i];
    }
    return n;
}

OpenObjects openObjects() {
    Control c;
    OpenObjects open;
    for (const auto &entry : c.s.objects) {
        switch (entry.second.kind) {
            case Object::File: ++open.files; break;
            case Object::Event: ++open.events; break;
            case Object::DeviceList: ++open.deviceLists; break;
            case Object::RegistryKey: ++open.registryKeys; break;
            case Object::Mutex: ++open.mutexes; break;
            case Object::Section: ++open.sections; break;
        }
    }
    open.sections += c.s.views.size();
    return open;
}

void abandonMutexes() {
    Control c;
    for (auto &entry : c.s.mutexes) entry.second.abandonNext = true;
}

std::uint64_t abandonedIo() {
    Control c;
    return c.s.abandoned;
}

std::size_t outstandingIo() {
    Control c;
    return c.s.pending.size();
}

std::vector<std::uint32_t> readLengths() {
    Control c;
    return c.s.readLengths;
}

void forgetReadLengths() {
    Control c;
    std::vector<std::uint32_t>().swap(c.s.readLengths);
}

std::uint64_t nowMs() {
    Control c;
    return c.s.clock;
}

void advanceMs(std::uint64_t ms) {
    Control c;
    c.s.clock += ms;
}

}  // namespace hostwin
