// text.cpp - the virtual Windows' per-thread last error and the two text
// helpers the library uses: wsprintfA (USER32) and _strlwr (C runtime).
#include <windows.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "state.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

namespace hostwin {
void setError(DWORD error) { lastError = error; }
}  // namespace hostwin

using namespace hostwin;

extern "C" {

DWORD WINAPI GetLastError(void) {
    Call call(Fn::GetLastError);
    return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    Call call(Fn::SetLastError);
    lastError = dwErrCode;
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    Call call(Fn::wsprintfA);
    // USER32 writes at most 1024 characters, the terminator included.
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::size_t length = std::strlen(text);
    std::memcpy(buffer, text, length + 1);
    return static_cast<int>(length);
}

char *_strlwr(char *text) {
    Call call(Fn::_strlwr);
    for (char *p = text; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return text;
}

}  // extern "C"
