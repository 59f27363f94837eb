#pragma once
// Owners for Win32 handles: one small template with a traits type per handle
// kind. An owner going out of scope keeps the caller's last-error value, so a
// failure code read after the close is still the one of the failing call.

#include <windows.h>

#include <oleauto.h>
#include <rpc.h>
#include <winhttp.h>

#include <utility>

namespace CvCommon {
namespace Handle {

template <typename Traits> class UniqueAny {
public:
    using pointer = typename Traits::pointer;

    UniqueAny() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueAny(pointer value) noexcept : m_value(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    pointer get() const noexcept { return m_value; }
    bool valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    void reset(pointer value = Traits::Invalid()) noexcept {
        pointer old = std::exchange(m_value, value);
        if (Traits::IsValid(old)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(lastError);
        }
    }

    // Address for an out-parameter; anything held is released first.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

// The common case: a pointer-like value for which null means "none". A
// traits type derives from it and adds only its Close.
template <typename T> struct NullIsNone {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr; }
};

// Kernel objects: null and INVALID_HANDLE_VALUE both mean "none".
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits : NullIsNone<HKEY> {
    static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct ModuleTraits : NullIsNone<HMODULE> {
    static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};

// WinHTTP session, connection and request handles.
struct WinHttpTraits : NullIsNone<HINTERNET> {
    static void Close(pointer h) noexcept { ::WinHttpCloseHandle(h); }
};

// Brushes, bitmaps, fonts: anything DeleteObject releases.
template <typename T> struct GdiObjectTraits : NullIsNone<T> {
    using pointer = T;
    static void Close(pointer h) noexcept { ::DeleteObject(h); }
};

// A device context made with CreateCompatibleDC.
struct MemoryDcTraits : NullIsNone<HDC> {
    static void Close(pointer h) noexcept { ::DeleteDC(h); }
};

// An icon loaded without LR_SHARED.
struct IconTraits : NullIsNone<HICON> {
    static void Close(pointer h) noexcept { ::DestroyIcon(h); }
};

// Memory a system call handed over to be released with LocalFree
// (FormatMessage, CommandLineToArgvW, security descriptors).
template <typename T> struct LocalMemoryTraits : NullIsNone<T> {
    using pointer = T;
    static void Close(pointer p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};

// Text a system call handed over to be released with GlobalFree (WinHTTP's
// proxy settings).
struct GlobalTextTraits : NullIsNone<LPWSTR> {
    static void Close(pointer p) noexcept { ::GlobalFree(p); }
};

struct BstrTraits : NullIsNone<BSTR> {
    static void Close(pointer p) noexcept { ::SysFreeString(p); }
};

// A string made by UuidToStringW and the like.
struct RpcWStringTraits : NullIsNone<RPC_WSTR> {
    static void Close(pointer p) noexcept { ::RpcStringFreeW(&p); }
};

// One reference to a COM object.
template <typename T> struct ComTraits : NullIsNone<T*> {
    using pointer = T*;
    static void Close(pointer p) noexcept { p->Release(); }
};

// A successful CoInitialize(Ex) of this thread, undone by CoUninitialize.
// Holds true when the call succeeded (S_OK or S_FALSE).
struct CoUninitializeTraits {
    using pointer = bool;
    static pointer Invalid() noexcept { return false; }
    static bool IsValid(pointer initialized) noexcept { return initialized; }
    static void Close(pointer) noexcept { ::CoUninitialize(); }
};

// A structure owned in place: Traits::Init makes it empty, Traits::Close
// releases what it holds.
template <typename Traits> class UniqueStruct {
public:
    using type = typename Traits::type;

    UniqueStruct() noexcept { Traits::Init(&m_value); }
    UniqueStruct(const UniqueStruct&) = delete;
    UniqueStruct& operator=(const UniqueStruct&) = delete;
    ~UniqueStruct() { reset(); }

    type& get() noexcept { return m_value; }
    const type& get() const noexcept { return m_value; }
    type* put() noexcept {
        reset();
        return &m_value;
    }
    type* operator->() noexcept { return &m_value; }

    void reset() noexcept {
        const DWORD lastError = ::GetLastError();
        Traits::Close(&m_value);
        Traits::Init(&m_value);
        ::SetLastError(lastError);
    }

private:
    type m_value;
};

struct VariantTraits {
    using type = VARIANT;
    static void Init(type* p) noexcept { ::VariantInit(p); }
    static void Close(type* p) noexcept { ::VariantClear(p); }
};

// What CreateProcess hands back: both the process and its first thread.
struct ProcessInformationTraits {
    using type = PROCESS_INFORMATION;
    static void Init(type* p) noexcept { *p = PROCESS_INFORMATION{}; }
    static void Close(type* p) noexcept {
        if (KernelHandleTraits::IsValid(p->hThread))
            ::CloseHandle(p->hThread);
        if (KernelHandleTraits::IsValid(p->hProcess))
            ::CloseHandle(p->hProcess);
    }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueHKey = UniqueAny<RegKeyTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;
// A thread started with _beginthreadex or CreateThread.
using UniqueThread = UniqueAny<KernelHandleTraits>;
using UniqueWinHttp = UniqueAny<WinHttpTraits>;
using UniqueBrush = UniqueAny<GdiObjectTraits<HBRUSH>>;
using UniqueBitmap = UniqueAny<GdiObjectTraits<HBITMAP>>;
using UniqueFont = UniqueAny<GdiObjectTraits<HFONT>>;
using UniqueMemoryDc = UniqueAny<MemoryDcTraits>;
using UniqueIcon = UniqueAny<IconTraits>;
template <typename T> using UniqueLocalMemory = UniqueAny<LocalMemoryTraits<T>>;
using UniqueGlobalText = UniqueAny<GlobalTextTraits>;
using UniqueBstr = UniqueAny<BstrTraits>;
using UniqueRpcWString = UniqueAny<RpcWStringTraits>;
template <typename T> using UniqueCom = UniqueAny<ComTraits<T>>;
using UniqueCoInit = UniqueAny<CoUninitializeTraits>;
using UniqueVariant = UniqueStruct<VariantTraits>;
using UniqueProcessInformation = UniqueStruct<ProcessInformationTraits>;

// Memory of any pointer type to be released with GlobalFree.
template <typename T> struct GlobalMemoryTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr; }
    static void Close(pointer p) noexcept { ::GlobalFree(reinterpret_cast<HGLOBAL>(p)); }
};
template <typename T> using UniqueGlobalMemory = UniqueAny<GlobalMemoryTraits<T>>;

// A file deleted when its owner lets go; the owner holds its path.
struct TemporaryFileATraits {
    using pointer = const char*;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer p) noexcept { return p != nullptr && p[0] != '\0'; }
    static void Close(pointer p) noexcept { ::DeleteFileA(p); }
};
using UniqueTemporaryFileA = UniqueAny<TemporaryFileATraits>;

} // namespace Handle
} // namespace CvCommon
