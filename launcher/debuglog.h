#pragma once

// The launcher's tag, in front of every message it writes to the debugger output.
inline constexpr char DEBUG_LOG_TAG[] = "<StartupUSBOrvanta> ";

// Formats a printf-style message (cut to 1023 characters), puts the tag in front and writes it
// with one OutputDebugStringA call. No line feed is added.
void DebugLog(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
