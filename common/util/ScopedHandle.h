// ScopedHandle<Traits>: the one owner of a handle of any kind (kernel object,
// registry key, find handle, library, C stream, malloc block). It closes what
// it holds exactly once, on Reset or at the end of its scope, so an early
// return leaks nothing. Move-only. A traits type names the handle type and
// gives Invalid(), IsValid(h) and Close(h).
#pragma once
#include <cstdio>
#include <cstdlib>
#include "platform/winapi.h"

template <typename Traits>
class ScopedHandle {
 public:
  typedef typename Traits::Handle Handle;
  ScopedHandle() : m_h(Traits::Invalid()) {}
  explicit ScopedHandle(Handle h) : m_h(h) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : m_h(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool IsValid() const { return Traits::IsValid(m_h); }
  Handle Get() const { return m_h; }
  // Gives the handle up unclosed; the owner is left empty.
  Handle Release() {
    Handle h = m_h;
    m_h = Traits::Invalid();
    return h;
  }
  // Closes the handle held, if any, and takes `h`.
  void Reset(Handle h = Traits::Invalid()) {
    Handle old = m_h;
    m_h = h;
    if (Traits::IsValid(old)) Traits::Close(old);
  }

 private:
  Handle m_h;
};

// The traits of a handle whose one invalid value is null; a traits type built
// on it adds Close.
template <typename H>
struct NullInvalidTraits {
  typedef H Handle;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
};

// Kernel objects: events, mutexes, files. Creators answer null or, for files,
// INVALID_HANDLE_VALUE on failure.
struct KernelHandleTraits : NullInvalidTraits<HANDLE> {
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { CloseHandle(h); }
};
struct FindHandleTraits : NullInvalidTraits<HANDLE> {
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { FindClose(h); }
};
struct RegKeyTraits : NullInvalidTraits<HKEY> {
  // SetupDiOpenClassRegKeyExW answers INVALID_HANDLE_VALUE on failure.
  static bool IsValid(Handle h) { return h != nullptr && h != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE); }
  static void Close(Handle h) { RegCloseKey(h); }
};
struct LibraryTraits : NullInvalidTraits<HMODULE> {
  static void Close(Handle h) { FreeLibrary(h); }
};
struct StdioFileTraits : NullInvalidTraits<FILE*> {
  static void Close(Handle h) { fclose(h); }
};
template <typename T>
struct MallocTraits : NullInvalidTraits<T*> {
  static void Close(T* h) { free(h); }
};

typedef ScopedHandle<KernelHandleTraits> KernelHandle;
typedef ScopedHandle<FindHandleTraits> FindHandle;
typedef ScopedHandle<RegKeyTraits> RegKey;
typedef ScopedHandle<LibraryTraits> Library;
typedef ScopedHandle<StdioFileTraits> ScopedFile;
template <typename T>
using MallocBlock = ScopedHandle<MallocTraits<T>>;
