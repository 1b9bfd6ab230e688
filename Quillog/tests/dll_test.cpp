// Loads the built DLL the way the service does and calls it through its exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillog.h"

namespace {

std::wstring ModuleDir() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path, n);
    return s.substr(0, s.find_last_of(L"\\/") + 1);
}

TEST(QuillogDll, ExportsResolveByNameAndOrdinalAndWorkInOrder) {
    HMODULE dll = LoadLibraryW((ModuleDir() + L"Quillog.dll").c_str());
    ASSERT_NE(nullptr, dll) << "LoadLibrary failed: " << GetLastError();
    const char* names[] = {"QuillogInit", "QuillogUninit", "QuillogWriteA", "QuillogWriteW"};
    FARPROC byName[4];
    for (int i = 0; i < 4; ++i) {
        byName[i] = GetProcAddress(dll, names[i]);
        ASSERT_NE(nullptr, byName[i]) << names[i];
        EXPECT_EQ(byName[i], GetProcAddress(dll, MAKEINTRESOURCEA(i + 1))) << names[i] << " is not ordinal " << i + 1;
    }
    EXPECT_EQ(nullptr, GetProcAddress(dll, MAKEINTRESOURCEA(5)));

    auto init = reinterpret_cast<HRESULT(__cdecl*)()>(reinterpret_cast<void*>(byName[0]));
    auto uninit = reinterpret_cast<void(__cdecl*)()>(reinterpret_cast<void*>(byName[1]));
    auto writeA = reinterpret_cast<void(__cdecl*)(const char*, ...)>(reinterpret_cast<void*>(byName[2]));
    auto writeW = reinterpret_cast<void(__cdecl*)(const wchar_t*, ...)>(reinterpret_cast<void*>(byName[3]));
    EXPECT_EQ(S_OK, init());
    writeA("%s", "<OrvantaService> hello from the test\n");
    writeA("%d %s %d", 1, "two", 3);
    writeW(L"%d %s", 4, L"five");
    uninit();
    EXPECT_TRUE(FreeLibrary(dll));
}

// A static check of the files, so the shipped 32-bit DLL is checked on hosts that cannot load it.
TEST(QuillogDll, BuiltAndShippedFilesCarryTheMetadataBlockByteForByte) {
    const std::wstring dir = ModuleDir();
    const std::string here(dir.begin(), dir.end());
    for (const std::string& file : {here + "Quillog.dll", std::string("Z:") + TVX_SHIPPED_DIST + "/Quillog.dll"}) {
        SCOPED_TRACE(file);
        std::ifstream in(file, std::ios::binary);
        ASSERT_TRUE(in.good()) << "cannot read the file";
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const char* block = reinterpret_cast<const char*>(quillog::g_metadata);
        auto found = std::search(bytes.begin(), bytes.end(), block, block + quillog::METADATA_SIZE);
        EXPECT_NE(bytes.end(), found) << "the " << quillog::METADATA_SIZE << "-byte metadata block is not in the file";
    }
}

}  // namespace
