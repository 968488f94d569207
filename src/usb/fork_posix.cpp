// fork_posix.cpp - fork handling for every lock of the library. A child made
// by fork has only the thread that forked, so a lock another thread held
// would stay held in it for ever. Each lock is taken before the fork, in the
// order the library nests them (the EEPROM report's, the open boards'
// registry, the backend's own, then the wire log's), and released after it in both
// processes; the child then forgets what belongs to the parent (its open
// boards and devices). A board's turn is not taken: the child never talks
// to the parent's boards through the entries it inherited.
#include <pthread.h>

#include "protocol/eeprom.h"
#include "usb/backend.h"
#include "usb/conversation.h"
#include "usb/wire_log.h"

namespace VESK {
namespace {

// The backend as it was before the fork: one chosen by another thread
// meanwhile takes no part.
const Backend *forkingBackend = nullptr;

void prepare() {
    brevant::eepromLock().lock();
    holdConversationsForFork();
    forkingBackend = backendIfChosen();
    if (forkingBackend != nullptr && forkingBackend->forkPrepare != nullptr) forkingBackend->forkPrepare();
    holdWireLogForFork();
}

void inParent() {
    releaseWireLogAfterFork();
    if (forkingBackend != nullptr && forkingBackend->forkParent != nullptr) forkingBackend->forkParent();
    releaseConversationsInParent();
    brevant::eepromLock().unlock();
}

void inChild() {
    releaseWireLogAfterFork();
    if (forkingBackend != nullptr && forkingBackend->forkChild != nullptr) forkingBackend->forkChild();
    startConversationsInChild();
    brevant::eepromLock().unlock();
}

[[maybe_unused]] const int registered = pthread_atfork(prepare, inParent, inChild);

}  // namespace
}  // namespace VESK
