// Small non-throwing owners for COM pointers, BSTRs and VARIANTs, so that every early return
// releases what is held. Each can also be emptied on the spot, where the order of releases matters.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "platform.h"

template <class T>
class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { Reset(); }

    // Empties the owner and hands out its slot preset to null, for an out parameter.
    T** Out() {
        Reset();
        return &p_;
    }
    void** OutVoid() { return reinterpret_cast<void**>(Out()); }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void Reset() {
        if (p_) {
            T* p = p_;
            p_ = nullptr;
            p->Release();
        }
    }

private:
    T* p_ = nullptr;
};

class OwnedBstr {
public:
    explicit OwnedBstr(const wchar_t* text) : s_(logonTaskPlatform.sysAllocString(text)) {}
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
    ~OwnedBstr() { SysFreeString(s_); }

    BSTR Get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }
    // Hands the string to a VARIANT, which then owns it.
    BSTR Detach() {
        BSTR s = s_;
        s_ = nullptr;
        return s;
    }

private:
    BSTR s_;
};

class OwnedVariant {
public:
    OwnedVariant() { VariantInit(&v); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    ~OwnedVariant() { Clear(); }

    void Clear() { VariantClear(&v); }

    VARIANT v;
};

// A getter that reports success but hands back no object is treated as failing with E_POINTER,
// so that no step goes on with a null interface.
template <class T>
HRESULT Obtained(HRESULT hr, const ComRef<T>& object) {
    if (FAILED(hr)) return hr;
    return object ? hr : E_POINTER;
}
