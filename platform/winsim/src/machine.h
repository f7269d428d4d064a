// winsim internals shared by its source files: the machine's settings, the
// handle table, fault injection, path translation, text conversion and the
// hook through which each file loads its own section of a machine description.
// Not installed; nothing outside platform/winsim/src includes it.
#pragma once
#include <rapidjson/document.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "clock.h"
#include "winsim/control.h"
#include "winsim/win32.h"

namespace winsim {
namespace internal {

typedef std::basic_string<WCHAR> WStr;

// ---------------------------------------------------------------- machine

// Settings of the simulated machine. Sections with state of their own
// (registry, adapters, devices, ...) keep it in their own file.
struct Machine {
  std::string sandbox;        // host folder of drive C: (no trailing slash)
  bool sandboxReady = false;  // folder known to exist
  UINT codePage = 1252;       // the ANSI code page
  std::string computerName = "WINSIM-PC";
  std::string userName = "user";
  std::string commandLine;  // GetCommandLineA override; empty: the real one
};

// The machine, loaded on first use (from WINSIM_MACHINE, or empty). Hold the
// guard only for short reads and writes; never call a Win32 function with it.
struct MachineGuard {
  std::unique_lock<std::mutex> lock;
  Machine& machine;
};
MachineGuard LockMachine();
// Loads the process's machine if nothing was loaded yet; every entry point that
// reads machine state calls it (LockMachine does).
void EnsureMachine();

// What a section loader learns about the description being loaded.
struct LoadContext {
  std::string baseDir;  // folder of the description: relative paths start here
  std::string sandbox;  // host folder of C: of the new machine
};
// Parses the section `section` (nullptr when the description has none: the
// loader then prepares its empty state) and hands back through *commit what
// installs it. Commits run only when every section parsed, so a bad
// description leaves the old machine whole. On failure fill *error.
typedef std::function<bool(const rapidjson::Value* section, const LoadContext& context, std::function<void()>* commit,
                           std::string* error)>
    SectionLoader;
// Registers the loader of a top-level key of the description. Call it from a
// namespace-scope initialiser: `static const bool kReg = RegisterSectionLoader(...)`.
bool RegisterSectionLoader(const char* name, SectionLoader loader);

// ---------------------------------------------------------------- rights

// Whether the process runs with an administrator's full token: the
// description's "elevated" (default true). A process that is not elevated
// cannot change devices through the class installer or write below HKLM.
bool ProcessElevated();
// While an object of this type lives, the calling thread acts with the
// system's rights, as the Plug and Play manager does on Windows: the
// machine's own registry writes work whatever the process's token.
class SystemRights {
 public:
  SystemRights();
  ~SystemRights();
  SystemRights(const SystemRights&) = delete;
  SystemRights& operator=(const SystemRights&) = delete;

 private:
  bool previous_;
};
// True when the calling thread may write below HKLM.
bool MayWriteMachineKeys();

// ---------------------------------------------------------------- faults

// True (and the error to report) when FailCall armed a failure of `function`.
bool TakeFault(const char* function, DWORD* error);
extern std::atomic<bool> g_faultsArmed;

// First statement of every Win32 function: fails it as FailCall asked.
#define WINSIM_FAIL_POINT(failValue)                                         \
  do {                                                                       \
    DWORD winsimFault_ = 0;                                                  \
    if (::winsim::internal::g_faultsArmed.load(std::memory_order_relaxed) && \
        ::winsim::internal::TakeFault(__func__, &winsimFault_)) {            \
      SetLastError(winsimFault_);                                            \
      return failValue;                                                      \
    }                                                                        \
  } while (0)
// The same for functions that return the error code itself: FailCall's error
// is the code to answer, as a `CodeType` (LSTATUS, CONFIGRET).
#define WINSIM_FAIL_POINT_CODE(CodeType)                                     \
  do {                                                                       \
    DWORD winsimFault_ = 0;                                                  \
    if (::winsim::internal::g_faultsArmed.load(std::memory_order_relaxed) && \
        ::winsim::internal::TakeFault(__func__, &winsimFault_))              \
      return static_cast<CodeType>(winsimFault_);                            \
  } while (0)
#define WINSIM_FAIL_POINT_STATUS() WINSIM_FAIL_POINT_CODE(LSTATUS)

// ---------------------------------------------------------------- handles

// A kernel object behind a HANDLE. One object may sit behind several handles
// (named objects); it lives while a handle or an internal user holds it.
struct KernelObject {
  virtual ~KernelObject() = default;
  // False for handles that have their own close call (find handles).
  virtual bool ClosableByCloseHandle() const { return true; }
  // Called after `handle` left the table (a key cancels its watches).
  virtual void OnHandleClosed(HANDLE handle) {}
};
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// LookupHandleAs for a Win32 call: a handle that is not open, or not of this
// kind, sets ERROR_INVALID_HANDLE and gives null.
template <class T>
std::shared_ptr<T> HandleOrFail(HANDLE handle) {
  auto object = LookupHandleAs<T>(handle);
  if (!object) SetLastError(ERROR_INVALID_HANDLE);
  return object;
}
// Removes the handle and calls OnHandleClosed; null when it was not open.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);

// Events are set from other files (registry notifications, device arrivals).
struct EventObject : KernelObject {
  bool manualReset = false;
  bool signalled = false;  // guarded by SyncLock()
};
// One lock and one condition for every waitable object (and for the message
// queues MsgWaitForMultipleObjectsEx watches). Notify with SyncLock held.
std::mutex& SyncLock();
ClockCondition& SyncChanged();
void SignalEvent(const std::shared_ptr<EventObject>& event);
// Waits for any (or all) of the objects, or for `alsoReady` (looked at with
// SyncLock held; it may take locks of its own but never SyncLock), on the
// machine's clock. Returns WAIT_OBJECT_0 + i, WAIT_ABANDONED_0 + i,
// WAIT_OBJECT_0 + count when `alsoReady` held, WAIT_TIMEOUT or WAIT_FAILED
// (error set).
DWORD WaitForObjects(DWORD count, const HANDLE* handles, bool all, DWORD milliseconds,
                     const std::function<bool()>& alsoReady);

// ---------------------------------------------------------------- text

WStr Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const WCHAR* text, size_t length);
inline std::string Utf16ToUtf8(const WStr& text) { return Utf16ToUtf8(text.data(), text.size()); }
std::string Utf16ToUtf8(const WCHAR* zeroTerminated);
size_t WLen(const WCHAR* text);
// Between the machine's ANSI code page and UTF-8 (host file names, settings);
// what does not convert becomes '?'.
std::string AnsiToUtf8(const std::string& text);
std::string Utf8ToAnsi(const std::string& text);
WStr AnsiToUtf16(const std::string& text);
std::string Utf16ToAnsi(const WStr& text);
// Case folding of names (registry keys, file names) as Windows compares them.
// Hex digits in pairs, appended as bytes; spaces, commas, dashes and colons
// between them are skipped. False on any other character or an odd digit.
bool ParseHex(const std::string& text, std::vector<BYTE>* out);

WCHAR FoldCase(WCHAR c);
WStr FoldCase(const WStr& text);

// ---------------------------------------------------------------- paths

// True for a path written the Windows way: a drive letter and colon, or a backslash.
bool IsWindowsPath(const std::string& path);
// Host path of `path` (UTF-8): C: is the sandbox, Z: is "/", other drives fail
// with ERROR_PATH_NOT_FOUND; "\" and "/" both separate; names of existing
// entries match case-insensitively. A path with neither a drive nor a
// backslash is returned unchanged (relative to the current folder).
bool TranslatePath(const std::string& path, std::string* hostPath, DWORD* error);
// Windows spelling of a host path: Z:\ plus the absolute path.
std::string WindowsPathOf(const std::string& hostPath);
// Host folder of C:, created when missing.
std::string SandboxFolder();
// Win32 error of a failed POSIX file call on `hostPath`.
DWORD ErrnoToWin32(int error, const std::string& hostPath);

}  // namespace internal
}  // namespace winsim
