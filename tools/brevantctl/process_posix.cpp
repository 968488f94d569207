// process_posix.cpp - process ids on POSIX systems.
#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "service_note.h"

namespace brevantctl {

unsigned long currentProcessId() { return static_cast<unsigned long>(getpid()); }

bool processRuns(unsigned long pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace brevantctl
