// Owners for Win32 handles and other closable values, and a scope guard.
//
// `UniqueResource<Traits>` owns one value and closes it exactly once: on destruction, on reset()
// or when another value is move-assigned over it. It is move-only; a moved-from owner holds the
// invalid value. Traits give the raw type, the value an empty owner holds, whether a value needs
// closing, and the close function.
//
// Closing never changes the thread's last-error value: code like
//     handle.reset(); return GetLastError();
// or an owner going out of scope between a failing call and the GetLastError() that reads it
// still sees the error of the failing call. The close result itself is ignored.
//
// Kernel handles treat both null and INVALID_HANDLE_VALUE as "nothing to close", because Win32
// reports failure with one or the other depending on the call; they differ only in the value an
// empty owner holds (INVALID_HANDLE_VALUE for files and pipes, null for events and processes), so
// `get()` of an empty owner gives what the matching API would have returned on failure.
//
// Not thread-safe: one owner is used by one thread at a time (like the raw value it wraps).
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>  // CoTaskMemFree, left out by WIN32_LEAN_AND_MEAN

#include <utility>

namespace lumet::common {

template <typename Traits>
class UniqueResource {
  public:
    using Type = typename Traits::Type;

    UniqueResource() noexcept = default;
    explicit UniqueResource(Type value) noexcept : value_(value) {}
    ~UniqueResource() { Close(value_); }

    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    Type get() const noexcept { return value_; }

    // Gives up ownership without closing; the owner is empty afterwards.
    [[nodiscard]] Type release() noexcept { return std::exchange(value_, Traits::kInvalid); }

    // Closes the current value (unless it is `value` itself) and takes ownership of `value`.
    void reset(Type value = Traits::kInvalid) noexcept {
        const Type old = std::exchange(value_, value);
        if (old != value) {
            Close(old);
        }
    }

    bool valid() const noexcept { return Traits::IsValid(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // For APIs that return a value through an out parameter: closes the current value and gives
    // the address of the (now empty) storage, e.g. RegOpenKeyExW(..., key.put()).
    Type* put() noexcept {
        reset();
        return &value_;
    }

  private:
    static void Close(Type value) noexcept {
        if (Traits::IsValid(value)) {
            const DWORD saved = GetLastError();
            Traits::Close(value);
            SetLastError(saved);
        }
    }

    Type value_ = Traits::kInvalid;
};

namespace handle_traits {

inline bool IsKernelHandle(HANDLE h) noexcept {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

struct File {
    using Type = HANDLE;
    static inline const Type kInvalid = INVALID_HANDLE_VALUE;
    static bool IsValid(Type h) noexcept { return IsKernelHandle(h); }
    static void Close(Type h) noexcept { CloseHandle(h); }
};

// FindFirstFileW/FindFirstFileExW searches: closed with FindClose, empty as INVALID_HANDLE_VALUE.
struct FindFile {
    using Type = HANDLE;
    static inline const Type kInvalid = INVALID_HANDLE_VALUE;
    static bool IsValid(Type h) noexcept { return IsKernelHandle(h); }
    static void Close(Type h) noexcept { FindClose(h); }
};

struct Kernel {
    using Type = HANDLE;
    static constexpr Type kInvalid = nullptr;
    static bool IsValid(Type h) noexcept { return IsKernelHandle(h); }
    static void Close(Type h) noexcept { CloseHandle(h); }
};

struct Service {
    using Type = SC_HANDLE;
    static constexpr Type kInvalid = nullptr;
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { CloseServiceHandle(h); }
};

struct RegKey {
    using Type = HKEY;
    static constexpr Type kInvalid = nullptr;
    // The predefined roots (HKEY_LOCAL_MACHINE, ...) are not ours to close; they are never stored
    // here, but closing one by mistake would be harmless anyway.
    static bool IsValid(Type h) noexcept { return h != nullptr; }
    static void Close(Type h) noexcept { RegCloseKey(h); }
};

template <typename T>
struct LocalMemory {
    using Type = T*;
    static constexpr Type kInvalid = nullptr;
    static bool IsValid(Type p) noexcept { return p != nullptr; }
    static void Close(Type p) noexcept {
        LocalFree(const_cast<void*>(static_cast<const void*>(p)));
    }
};

template <typename T>
struct CoTaskMemory {
    using Type = T*;
    static constexpr Type kInvalid = nullptr;
    static bool IsValid(Type p) noexcept { return p != nullptr; }
    static void Close(Type p) noexcept {
        CoTaskMemFree(const_cast<void*>(static_cast<const void*>(p)));
    }
};

// Windows are destroyed, not closed, and only by the thread that created them.
struct Window {
    using Type = HWND;
    static constexpr Type kInvalid = nullptr;
    static bool IsValid(Type w) noexcept { return w != nullptr; }
    static void Close(Type w) noexcept { DestroyWindow(w); }
};

struct Socket {
    using Type = SOCKET;
    static constexpr Type kInvalid = INVALID_SOCKET;
    static bool IsValid(Type s) noexcept { return s != INVALID_SOCKET; }
    static void Close(Type s) noexcept { closesocket(s); }
};

}  // namespace handle_traits

// Files, pipes and anything else CreateFileW/CreateNamedPipeW return (empty: INVALID_HANDLE_VALUE).
using UniqueHandle = UniqueResource<handle_traits::File>;
// Events, mutexes, processes, threads, tokens (empty: null).
using UniqueEvent = UniqueResource<handle_traits::Kernel>;
using UniqueProcess = UniqueResource<handle_traits::Kernel>;
using UniqueKernelHandle = UniqueResource<handle_traits::Kernel>;
using UniqueServiceHandle = UniqueResource<handle_traits::Service>;
using UniqueFindHandle = UniqueResource<handle_traits::FindFile>;
using UniqueRegKey = UniqueResource<handle_traits::RegKey>;
// Memory the system allocated with LocalAlloc (security descriptors, SID strings, ...). The typed
// form spares casts at out parameters: UniqueLocalPtr<wchar_t> for ConvertSidToStringSidW.
template <typename T>
using UniqueLocalPtr = UniqueResource<handle_traits::LocalMemory<T>>;
using UniqueLocalMemory = UniqueLocalPtr<void>;
// Memory the system allocated with CoTaskMemAlloc (SHGetKnownFolderPath's path, ...).
template <typename T>
using UniqueCoTaskPtr = UniqueResource<handle_traits::CoTaskMemory<T>>;
using UniqueCoTaskMemory = UniqueCoTaskPtr<void>;
using UniqueSocket = UniqueResource<handle_traits::Socket>;
// A window of our own (DestroyWindow); the owner must live and die on the window's thread.
using UniqueWindow = UniqueResource<handle_traits::Window>;

// Owns both handles of a PROCESS_INFORMATION (process and primary thread) and closes each exactly
// once, keeping the last error like UniqueResource. Move-only; a moved-from or reset owner holds
// null handles and zero ids. Hand it to CreateProcessW through put():
//     UniqueProcessInformation child;
//     if (!CreateProcessW(..., &startup, child.put())) return GetLastError();
class UniqueProcessInformation {
  public:
    UniqueProcessInformation() noexcept = default;
    explicit UniqueProcessInformation(const PROCESS_INFORMATION& info) noexcept : info_(info) {}
    ~UniqueProcessInformation() { reset(); }

    UniqueProcessInformation(UniqueProcessInformation&& other) noexcept
        : info_(std::exchange(other.info_, PROCESS_INFORMATION{})) {}
    UniqueProcessInformation& operator=(UniqueProcessInformation&& other) noexcept {
        if (this != &other) {
            reset();
            info_ = std::exchange(other.info_, PROCESS_INFORMATION{});
        }
        return *this;
    }
    UniqueProcessInformation(const UniqueProcessInformation&) = delete;
    UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;

    const PROCESS_INFORMATION& get() const noexcept { return info_; }
    HANDLE process() const noexcept { return info_.hProcess; }
    HANDLE thread() const noexcept { return info_.hThread; }
    bool valid() const noexcept { return handle_traits::IsKernelHandle(info_.hProcess); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the thread handle alone, for callers that never resume or wait on the thread.
    void close_thread() noexcept {
        UniqueKernelHandle(std::exchange(info_.hThread, nullptr)).reset();
    }

    // Hands the process handle to a UniqueProcess; the thread handle stays here.
    [[nodiscard]] UniqueProcess release_process() noexcept {
        return UniqueProcess(std::exchange(info_.hProcess, nullptr));
    }

    // Closes both handles (thread first) and clears the ids.
    void reset() noexcept {
        close_thread();
        UniqueProcess(std::exchange(info_.hProcess, nullptr)).reset();
        info_ = PROCESS_INFORMATION{};
    }

    // Closes what is owned and gives the (now empty) structure to fill, e.g. to CreateProcessW.
    PROCESS_INFORMATION* put() noexcept {
        reset();
        return &info_;
    }

  private:
    PROCESS_INFORMATION info_{};
};

// Runs a callable when the scope ends, unless dismissed; for undo steps that are not handles:
//     if (!ImpersonateNamedPipeClient(pipe)) return ...;
//     ScopeExit revert([] { RevertToSelf(); });
// Neither copyable nor movable, so the action runs exactly once, at the end of the declaring scope.
template <typename F>
class [[nodiscard]] ScopeExit {
  public:
    explicit ScopeExit(F action) noexcept(noexcept(F(std::move(action))))
        : action_(std::move(action)) {}
    ~ScopeExit() {
        if (active_) {
            action_();
        }
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    // The action will not run.
    void Dismiss() noexcept { active_ = false; }

  private:
    F action_;
    bool active_ = true;
};

}  // namespace lumet::common
