// winsim's window manager as the device broadcasts use it: windows live in
// user32.cpp, device notifications in devices_user32.cpp, which uses the
// window manager and is never called by it. Internal to winsim.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "winsim/win32.h"

namespace winsim {
namespace internal {

// One message for SendMessagesBounded. The payload (what lParam points to)
// is owned by the message so that a receiver that answers late still reads
// valid memory.
struct BoundedSend {
  HWND hwnd = nullptr;
  UINT message = 0;
  WPARAM wParam = 0;
  std::shared_ptr<std::vector<BYTE>> payload;
};

// Sends every message as SendMessageTimeout would: each is queued for its
// window's thread (or called directly on the owner thread), then the caller
// waits at most `timeoutMs` in all. A message not handled in time stays
// queued and is delivered later with its answer dropped. Returns how many
// were handled in time; `handled` (when given) says which, by index.
size_t SendMessagesBounded(const std::vector<BoundedSend>& sends, unsigned timeoutMs,
                           std::vector<bool>* handled = nullptr);

// True while `hwnd` names a window that has not been destroyed.
bool IsLiveWindow(HWND hwnd);
// Every live window created without a parent, as system-wide broadcasts
// reach them.
std::vector<HWND> TopLevelWindows();
// Class name of a live window, UTF-8; empty when there is none.
std::string WindowClassOf(HWND hwnd);

// Observers of windows that are gone (DestroyWindow, or the end of the
// window's thread), so what refers to a window can let go of it. Called on
// the destroying thread after the window is gone, without user32's lock.
// Registered for the process's life.
using WindowDestroyedObserver = std::function<void(HWND)>;
void OnWindowDestroyed(WindowDestroyedObserver observer);

}  // namespace internal
}  // namespace winsim
