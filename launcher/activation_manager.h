#pragma once

// The application activation manager as documented; the MinGW headers offer it only to
// Windows 8 targets, and the launcher needs nothing else from them.
#include <windows.h>
#include <unknwn.h>

enum ACTIVATEOPTIONS {
    AO_NONE = 0x0,
    AO_DESIGNMODE = 0x1,
    AO_NOERRORUI = 0x2,
    AO_NOSPLASHSCREEN = 0x4,
};

struct IShellItemArray;

struct IApplicationActivationManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR appUserModelId, LPCWSTR arguments,
                                                          ACTIVATEOPTIONS options, DWORD* processId) = 0;
    virtual HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR appUserModelId, IShellItemArray* itemArray, LPCWSTR verb,
                                                      DWORD* processId) = 0;
    virtual HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR appUserModelId, IShellItemArray* itemArray,
                                                          DWORD* processId) = 0;
};

// {45BA127D-10A8-46EA-8AB7-56EA9078943C}
constexpr CLSID CLSID_ApplicationActivationManager = {
    0x45ba127d, 0x10a8, 0x46ea, {0x8a, 0xb7, 0x56, 0xea, 0x90, 0x78, 0x94, 0x3c}};
// {2E941141-7F97-4756-BA1D-9DECDE894A3D}
constexpr IID IID_IApplicationActivationManager = {
    0x2e941141, 0x7f97, 0x4756, {0xba, 0x1d, 0x9d, 0xec, 0xde, 0x89, 0x4a, 0x3d}};
