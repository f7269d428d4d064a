// The one loader behind the six companion library adapters: load the library
// from the host executable's folder or else from the installation's x64
// folder, resolve every name of its table, and call through a slot with every
// exception caught. Libraries are never freed; slots and the module handle are
// relaxed atomics because any thread may run the loader without a lock (two
// racing loads store the same values).
#pragma once
#include <atomic>
#include <cstddef>
#include "common/util/DiagLog.h"
#include "common/util/ResultCode.h"
#include "platform/winapi.h"

// Writes one LOG_ERROR line under the adapter's name and source file.
typedef void (*DllLoadErrorSink)(const char* text);

struct DllLibrary {
  const char* fileName;       // "vaultres.dll"
  const char* const* names;   // exported names, in resolution order
  std::atomic<void*>* slots;  // one per name
  size_t count;
  std::atomic<HMODULE>* module;  // handle of the last load attempt
  DllLoadErrorSink logError;
};

// An adapter's tables from its one list of exports: LIST(X) expands X(name)
// for every name the library is asked for, in resolution order. Defines the
// slot index k<name> of each, g_names, g_slots, the module handle, the
// library record and Namespace::Dll_Init_Check_Function. Expanded in the
// adapter's own file, so its load errors are logged under that file.
#define DLL_ADAPTER(LIST, fileName, Namespace)                                      \
  namespace {                                                                       \
  enum { LIST(DLL_ADAPTER_INDEX) kNameCount };                                      \
  const char* const g_names[kNameCount] = {LIST(DLL_ADAPTER_NAME)};                 \
  std::atomic<void*> g_slots[kNameCount];                                           \
  std::atomic<HMODULE> g_module{nullptr};                                           \
  const DllLibrary g_library = {                                                    \
      fileName,   g_names,   g_slots,                                               \
      kNameCount, &g_module, [](const char* text) {               \
        DIAG_LOG_AS(LOG_ERROR, "Dll_Init_Check_Function", "%s", text); }};                             \
  }                                                                                 \
  namespace Namespace {                                                             \
  eRet Dll_Init_Check_Function(void* slot) {                                        \
    return DllInitCheckFunction(g_library, static_cast<std::atomic<void*>*>(slot)); \
  }                                                                                 \
  }                                                                                 \
  static_assert(kNameCount > 0, "an adapter resolves at least one name")
#define DLL_ADAPTER_INDEX(name) k##name,
#define DLL_ADAPTER_NAME(name) #name,

// 0 when `slot` (one of library.slots) is usable afterwards, RET_DLL_LOAD_FAILED
// when neither folder has the library, RET_DLL_FUNC_NOT_FOUND when the name is
// missing from it.
eRet DllInitCheckFunction(const DllLibrary& library, std::atomic<void*>* slot);

// Calls the function in `slot` as `Fn` after `init(slot)`: 0x211 when init
// fails, 0x212 when the call throws, else the function's own result. Arguments
// taken by value are copied inside the try, so a failing copy gives 0x212 too.
template <typename Fn, typename... Args>
eRet DllCall(eRet (*init)(void*), std::atomic<void*>& slot, Args&&... args) {
  if (init(&slot) != RET_SUCCESS) return RET_DLL_FUNC_NOT_FOUND;
  try {
    Fn fn = reinterpret_cast<Fn>(slot.load(std::memory_order_relaxed));
    return static_cast<eRet>(fn(static_cast<Args&&>(args)...));
  } catch (...) {
    return RET_DLL_CALL_EXCEPTION;
  }
}
