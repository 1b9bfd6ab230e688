#include "debuglog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

void DebugLog(const char* format, ...) {
    char buffer[1024];
    memset(buffer, 0, sizeof buffer);
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    // A formatter that does not terminate a cut message must not make us read past the buffer.
    buffer[sizeof buffer - 1] = '\0';

    std::string text = DEBUG_LOG_TAG;
    text += buffer;
    OutputDebugStringA(text.c_str());
}
