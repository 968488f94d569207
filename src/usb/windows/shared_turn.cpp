// shared_turn.cpp - the Windows backend's turn shared between processes. The
// board's endpoint is opened with sharing, so several programs may use one
// board at once (the bench service and a script); each exchange holds a
// named mutex, and the board's mark lives in a small named section beside
// it. Both are named after the board's interface path, in the global
// namespace where the process may create them there (so a service and a
// user's program meet), else in the session's own. Every process may use
// them (they carry no DACL): a service's turn must serve a user's program
// too, and they guard nothing but a board's conversation.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>

#include "usb/windows/windows_transport.h"

namespace VESK {
namespace windows {
namespace {

// How long an exchange waits for another process to end its exchange: far
// past any exchange (a write and a few bounded reads), short of a hang.
constexpr DWORD kTurnWaitMs = 5000;
constexpr DWORD kMarkSize = SHARED_MARK_SIZE;

struct Turn {
    HANDLE mutex;
    HANDLE section;
    std::uint32_t *mark;
};

// FNV-1a over the lower-cased path: interface paths differ only in case
// between lookups, never between boards.
unsigned long long pathHash(const char *path) {
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char *c = path; *c != '\0'; ++c) {
        hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(*c)));
        hash *= 0x100000001b3ull;
    }
    return hash;
}

void release(Turn &turn) {
    if (turn.mark != nullptr) UnmapViewOfFile(turn.mark);
    if (turn.section != nullptr) CloseHandle(turn.section);
    if (turn.mutex != nullptr) CloseHandle(turn.mutex);
    turn = Turn{nullptr, nullptr, nullptr};
}

bool openIn(const char *space, unsigned long long hash, Turn &turn) {
    SECURITY_DESCRIPTOR everyone;
    SECURITY_ATTRIBUTES shared{sizeof shared, &everyone, FALSE};
    if (!InitializeSecurityDescriptor(&everyone, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&everyone, TRUE, nullptr, FALSE))
        return false;
    char name[64];
    std::snprintf(name, sizeof name, "%s\\brevant-board-%016llx-turn", space, hash);
    turn.mutex = CreateMutexA(&shared, FALSE, name);
    std::snprintf(name, sizeof name, "%s\\brevant-board-%016llx-mark", space, hash);
    if (turn.mutex != nullptr)
        turn.section = CreateFileMappingA(INVALID_HANDLE_VALUE, &shared, PAGE_READWRITE, 0, kMarkSize, name);
    if (turn.section != nullptr)
        turn.mark = static_cast<std::uint32_t *>(MapViewOfFile(turn.section, FILE_MAP_ALL_ACCESS, 0, 0, kMarkSize));
    if (turn.mark != nullptr) return true;
    release(turn);
    return false;
}

void *open(const char *path) {
    Turn *turn = new (std::nothrow) Turn{nullptr, nullptr, nullptr};
    if (turn == nullptr) return nullptr;
    const unsigned long long hash = pathHash(path);
    if (openIn("Global", hash, *turn) || openIn("Local", hash, *turn)) return turn;
    delete turn;
    return nullptr;
}

SharedTurnTake take(void *handle) {
    switch (WaitForSingleObject(static_cast<Turn *>(handle)->mutex, kTurnWaitMs)) {
        case WAIT_OBJECT_0: return SharedTurnTake::Taken;
        case WAIT_ABANDONED: return SharedTurnTake::Abandoned;
        default: return SharedTurnTake::Failed;
    }
}

void give(void *handle) { ReleaseMutex(static_cast<Turn *>(handle)->mutex); }

std::uint32_t *mark(void *handle) { return static_cast<Turn *>(handle)->mark; }

void close(void *handle) {
    Turn *turn = static_cast<Turn *>(handle);
    release(*turn);
    delete turn;
}

}  // namespace

const SharedTurnOps sharedTurn{open, take, give, mark, close};

}  // namespace windows
}  // namespace VESK
