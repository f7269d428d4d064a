// The handle table and the calling thread's last error.
#include <unordered_map>

#include "machine.h"

namespace winsim {
namespace internal {
namespace {

std::mutex g_handleMutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> g_handles;
// Handle values are never reused, so a stale handle fails instead of reaching
// a newer object. Multiples of 4 as on Windows.
uintptr_t g_nextHandle = 0x104;

thread_local DWORD t_lastError = 0;

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 4;
  g_handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handleMutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_handles.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;
  {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_handles.end()) return nullptr;
    object = std::move(it->second);
    g_handles.erase(it);
  }
  object->OnHandleClosed(handle);
  return object;
}

}  // namespace internal
}  // namespace winsim

using namespace winsim::internal;

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

BOOL CloseHandle(HANDLE hObject) {
  WINSIM_FAIL_POINT(FALSE);
  auto object = LookupHandle(hObject);
  if (!object || !object->ClosableByCloseHandle()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  RemoveHandle(hObject);
  return TRUE;
}
