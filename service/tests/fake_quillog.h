// What the fake Quillog records, read by the tests through FakeQuillogRecordsOf.
#pragma once
#include <windows.h>

const int FAKE_QUILLOG_KEPT = 16;

struct FakeQuillogWrite {
    char format[64];
    char text[2048];
};

struct FakeQuillogRecords {
    volatile LONG inits;
    volatile LONG writes;
    FakeQuillogWrite kept[FAKE_QUILLOG_KEPT];
};

typedef FakeQuillogRecords*(__cdecl* FakeQuillogRecordsOfFn)();
