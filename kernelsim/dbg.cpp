// Debugger output: DbgPrint and friends, captured per call and formatted as the kernel's
// DbgPrint formats (the Microsoft C runtime's printf rules: %S wide strings, %Z/%wZ counted
// strings, %p as 16 upper-case hex digits on x64, l = 32 bits, I/I64/ll = 64 bits).
#include "ksim_internal.h"

#include <cstdlib>
#include <cstring>

namespace ksim {
namespace {

struct Capture {
    std::vector<std::string> lines;
    bool echo = false;
};

Capture& C() {
    static Capture* capture = [] {
        auto* c = new Capture;
        const char* env = std::getenv("KSIM_ECHO");
        c->echo = env && *env == '1';
        return c;
    }();
    return *capture;
}

enum class Size { Default, Char, Short, Long, LongLong, Pointer, Wide };

void Pad(std::string* out, const std::string& body, int width, bool left, char fill = ' ') {
    int padding = width - static_cast<int>(body.size());
    if (padding <= 0) {
        *out += body;
    } else if (left) {
        *out += body;
        out->append(padding, ' ');
    } else {
        out->append(padding, fill);
        *out += body;
    }
}

std::string NarrowChars(const wchar_t* text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        wchar_t c = text[i];
        out += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return out;
}

int WideLength(const wchar_t* text, int precision) {
    int n = 0;
    while ((precision < 0 || n < precision) && text[n]) ++n;
    return n;
}

}  // namespace

// The kernel's Unicode conversions use pageable tables: Windows allows %S, %ws, %wZ and %lc in
// DbgPrint only at PASSIVE_LEVEL, and a page fault above it stops the machine.
static void UnicodeFormatCheck(char conversion) {
    if (Irql() > PASSIVE_LEVEL)
        Stop(KSIM_STOP_DRIVER_VERIFIER_DETECTED_VIOLATION, 0x218, Irql(), static_cast<ULONG_PTR>(conversion), 0,
             "DbgPrint with a Unicode conversion (%%%c) at IRQL %u: allowed only at PASSIVE_LEVEL", conversion,
             static_cast<unsigned>(Irql()));
}

std::string FormatV(const char* format, va_list args) {
    std::string out;
    if (!format) return out;
    for (const char* f = format; *f; ++f) {
        if (*f != '%') {
            out += *f;
            continue;
        }
        const char* start = f++;
        bool left = false, plus = false, space = false, alt = false, zero = false;
        for (;; ++f) {
            if (*f == '-')
                left = true;
            else if (*f == '+')
                plus = true;
            else if (*f == ' ')
                space = true;
            else if (*f == '#')
                alt = true;
            else if (*f == '0')
                zero = true;
            else
                break;
        }
        int width = 0;
        if (*f == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
        }
        int precision = -1;
        if (*f == '.') {
            ++f;
            precision = 0;
            if (*f == '*') {
                precision = va_arg(args, int);
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') precision = precision * 10 + (*f++ - '0');
            }
        }
        Size size = Size::Default;
        bool wide = false, narrowForced = false;
        if (f[0] == 'h' && f[1] == 'h') {
            size = Size::Char;
            f += 2;
        } else if (*f == 'h') {
            size = Size::Short;
            narrowForced = true;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            size = Size::LongLong;
            f += 2;
        } else if (*f == 'l') {
            size = Size::Long;
            wide = true;
            ++f;
        } else if (*f == 'w') {
            wide = true;
            ++f;
        } else if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            size = Size::LongLong;
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            size = Size::Long;
            f += 3;
        } else if (*f == 'I' || *f == 'z' || *f == 't' || *f == 'j') {
            size = Size::Pointer;
            ++f;
        } else if (*f == 'L') {
            ++f;
        }
        char conv = *f;
        if (!conv) {
            out.append(start);
            break;
        }
        switch (conv) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool isSigned = (conv == 'd' || conv == 'i');
            unsigned long long magnitude;
            bool negative = false;
            if (size == Size::LongLong || size == Size::Pointer) {
                long long v = va_arg(args, long long);
                if (isSigned && v < 0) {
                    negative = true;
                    magnitude = 0ULL - static_cast<unsigned long long>(v);
                } else
                    magnitude = static_cast<unsigned long long>(v);
            } else {
                int v = va_arg(args, int);
                if (size == Size::Short) v = isSigned ? static_cast<short>(v) : static_cast<unsigned short>(v);
                if (size == Size::Char) v = isSigned ? static_cast<signed char>(v) : static_cast<unsigned char>(v);
                if (isSigned && v < 0) {
                    negative = true;
                    magnitude = 0ULL - static_cast<unsigned long long>(static_cast<long long>(v));
                } else
                    magnitude = isSigned ? static_cast<unsigned long long>(v) : static_cast<unsigned int>(v);
            }
            const char* digits = (conv == 'X') ? "0123456789ABCDEF" : "0123456789abcdef";
            unsigned base = (conv == 'x' || conv == 'X') ? 16 : (conv == 'o' ? 8 : 10);
            std::string number;
            for (unsigned long long v = magnitude; v; v /= base) number.insert(number.begin(), digits[v % base]);
            if (precision < 0 && number.empty()) number = "0";
            while (static_cast<int>(number.size()) < precision) number.insert(number.begin(), '0');
            std::string prefix;
            if (negative)
                prefix = "-";
            else if (isSigned && plus)
                prefix = "+";
            else if (isSigned && space)
                prefix = " ";
            if (alt && magnitude != 0 && base == 16) prefix += (conv == 'X') ? "0X" : "0x";
            if (alt && base == 8 && (number.empty() || number[0] != '0')) number.insert(number.begin(), '0');
            if (zero && !left && precision < 0) {
                while (static_cast<int>(prefix.size() + number.size()) < width) number.insert(number.begin(), '0');
            }
            Pad(&out, prefix + number, width, left);
            break;
        }
        case 'p': {
            void* v = va_arg(args, void*);
            char buffer[32];
            snprintf(buffer, sizeof buffer, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(v)));
            Pad(&out, buffer, width, left);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool w = (conv == 'C') ? !narrowForced : wide;
            if (w) UnicodeFormatCheck(conv);
            char c = w ? (static_cast<wchar_t>(v) < 0x80 ? static_cast<char>(v) : '?') : static_cast<char>(v);
            Pad(&out, std::string(1, c), width, left);
            break;
        }
        case 's':
        case 'S': {
            bool w = (conv == 'S') ? !narrowForced : wide;
            std::string body;
            if (w) {
                UnicodeFormatCheck(conv);
                const wchar_t* s = va_arg(args, const wchar_t*);
                if (!s)
                    body = "(null)";
                else
                    body = NarrowChars(s, WideLength(s, precision));
            } else {
                const char* s = va_arg(args, const char*);
                if (!s)
                    body = "(null)";
                else
                    body = precision < 0 ? std::string(s) : std::string(s, strnlen(s, precision));
            }
            Pad(&out, body, width, left);
            break;
        }
        case 'Z': {
            std::string body;
            if (wide) {
                UnicodeFormatCheck(conv);
                PCUNICODE_STRING s = va_arg(args, PCUNICODE_STRING);
                if (!s || !s->Buffer)
                    body = "(null)";
                else
                    body = NarrowChars(s->Buffer, s->Length / sizeof(WCHAR));
            } else {
                const ANSI_STRING* s = va_arg(args, const ANSI_STRING*);
                if (!s || !s->Buffer)
                    body = "(null)";
                else
                    body.assign(s->Buffer, s->Length);
            }
            Pad(&out, body, width, left);
            break;
        }
        case 'n': (void)va_arg(args, void*); break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            std::string conversion(start, f + 1);
            double v = va_arg(args, double);
            char buffer[512];
            snprintf(buffer, sizeof buffer, conversion.c_str(), v);
            out += buffer;
            break;
        }
        case '%': out += '%'; break;
        default: out += conv; break;
        }
    }
    return out;
}

void DbgReset() {
    Guard g(Lock());
    C().lines.clear();
}

}  // namespace ksim

using namespace ksim;

namespace {

ULONG CaptureText(const char* format, va_list args) {
    CheckPageableCallers("DbgPrint");
    std::string text = FormatV(format, args);
    bool echo;
    {
        Guard g(Lock());
        C().lines.push_back(text);
        echo = C().echo;
    }
    if (echo) fprintf(stderr, "%s", text.c_str());
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = CaptureText(Format, args);
    va_end(args);
    return status;
}

ULONG __cdecl DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    (void)Level;
    va_list args;
    va_start(args, Format);
    ULONG status = CaptureText(Format, args);
    va_end(args);
    return status;
}

ULONG NTAPI vDbgPrintEx(ULONG ComponentId, ULONG Level, PCCH Format, va_list ap) {
    (void)ComponentId;
    (void)Level;
    return CaptureText(Format, ap);
}

ULONG NTAPI vDbgPrintExWithPrefix(PCCH Prefix, ULONG ComponentId, ULONG Level, PCCH Format, va_list ap) {
    (void)ComponentId;
    (void)Level;
    CheckPageableCallers("vDbgPrintExWithPrefix");
    std::string text = std::string(Prefix ? Prefix : "") + FormatV(Format, ap);
    {
        Guard g(Lock());
        C().lines.push_back(text);
    }
    return STATUS_SUCCESS;
}

VOID NTAPI DbgBreakPoint(VOID) {
    Guard g(Lock());
    C().lines.push_back("<DbgBreakPoint>\n");
}

VOID NTAPI DbgBreakPointWithStatus(ULONG Status) {
    (void)Status;
    DbgBreakPoint();
}

}  // extern "C"

KSIM_IMPORT_POINTER(DbgPrint)
KSIM_IMPORT_POINTER(DbgPrintEx)
KSIM_IMPORT_POINTER(vDbgPrintEx)
KSIM_IMPORT_POINTER(vDbgPrintExWithPrefix)
KSIM_IMPORT_POINTER(DbgBreakPoint)
KSIM_IMPORT_POINTER(DbgBreakPointWithStatus)

std::vector<std::string> KsimDbgPrints() {
    Guard g(Lock());
    return C().lines;
}

std::string KsimDbgPrintText() {
    Guard g(Lock());
    std::string all;
    for (const std::string& line : C().lines) all += line;
    return all;
}

void KsimClearDbgPrints() {
    Guard g(Lock());
    C().lines.clear();
}

std::string KsimFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

void KsimEchoDbgPrint(bool on) {
    Guard g(Lock());
    C().echo = on;
}
