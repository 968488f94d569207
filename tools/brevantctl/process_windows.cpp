// process_windows.cpp - process ids on Windows.
#include <windows.h>

#include "service_note.h"

namespace brevantctl {

unsigned long currentProcessId() { return GetCurrentProcessId(); }

bool processRuns(unsigned long pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return false;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

}  // namespace brevantctl
