// state.cpp - the virtual Windows' shared state, the call gate that counts
// calls and fires injected faults, and the handle table.
#include "state.h"

namespace hostwin {

State &state() {
    static State *s = new State;  // never destroyed: calls may come at exit
    return *s;
}

Call::Call(Fn fn) : s(state()), hold_(s.lock) {
    if (!s.configured) {
        s.configured = true;
        if (s.defaultSetup != nullptr) s.defaultSetup();
    }
    const unsigned i = static_cast<unsigned>(fn);
    ++s.calls[i];
    std::deque<Fault> &queue = s.faults[i];
    if (queue.empty()) return;
    Fault &f = queue.front();
    if (f.skip > 0) {
        --f.skip;
        return;
    }
    fault_ = f.error;
    if (--f.count == 0) queue.pop_front();
}

HANDLE newHandle(State &s, Object object) {
    const std::uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

Object *findObject(State &s, HANDLE handle, Object::Kind kind) {
    auto it = s.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == s.objects.end() || it->second.kind != kind) return nullptr;
    return &it->second;
}

bool fileAlive(State &s, const FileObject &file) {
    auto it = s.interfaces.find(file.interface);
    return it != s.interfaces.end() && it->second.present &&
           it->second.generation == file.generation;
}

void signal(State &s, HANDLE event) {
    if (Object *o = findObject(s, event, Object::Event)) o->event.signalled = true;
}

void completeRead(State &s, PendingRead &read, QueuedReply reply) {
    const std::vector<std::uint8_t> &bytes = reply.reply.bytes;
    const DWORD delivered = bytes.size() < read.length ? static_cast<DWORD>(bytes.size())
                                                       : read.length;
    for (DWORD i = 0; i < delivered; ++i) read.buffer[i] = bytes[i];
    read.overlapped->Internal = ERROR_SUCCESS;
    read.overlapped->InternalHigh = delivered + reply.reply.extraCount;
    signal(s, read.overlapped->hEvent);
}

}  // namespace hostwin
