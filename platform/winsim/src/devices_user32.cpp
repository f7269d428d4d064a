// user32's device side: RegisterDeviceNotificationW, the WM_DEVICECHANGE
// broadcasts of devices whose interfaces come and go (sent from winsim's
// system thread), and ExitWindowsEx (recorded, never acted on).
#include <cstddef>
#include <cstring>

#include "devices.h"
#include "msgqueue.h"

using namespace winsim::internal;

namespace {

struct Registration {
  HDEVNOTIFY handle = nullptr;
  HWND hwnd = nullptr;
  bool allClasses = false;
  GUID interfaceClass{};
};

struct Registrations {
  std::mutex mutex;
  std::vector<Registration> list;
  uintptr_t nextHandle = 0x7A0010;
};

Registrations& R() {
  static Registrations* r = new Registrations;
  return *r;
}

// Windows gives a device broadcast a bounded time per window (as
// BroadcastSystemMessage does) so a hung window cannot stall the plug.
constexpr unsigned kBroadcastTimeoutMs = 5000;

// Symbolic link of a device interface: "\\?\" + instance ID with '#' for
// '\' + "#{class}".
std::u16string InterfaceLink(const std::u16string& instanceId, const GUID& interfaceClass) {
  std::u16string link = u"\\\\?\\";
  for (char16_t c : instanceId) link += c == u'\\' ? u'#' : c;
  return link + u"#{" + Utf16(GuidText(interfaceClass)) + u"}";
}

std::shared_ptr<std::vector<BYTE>> BroadcastPayload(const std::u16string& link, const GUID& interfaceClass) {
  const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  size_t size = nameOffset + (link.size() + 1) * sizeof(WCHAR);
  auto bytes = std::make_shared<std::vector<BYTE>>(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)), 0);
  DEV_BROADCAST_DEVICEINTERFACE_W header = {};
  header.dbcc_size = DWORD(size);
  header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  header.dbcc_classguid = interfaceClass;
  std::memcpy(bytes->data(), &header, nameOffset);
  std::memcpy(bytes->data() + nameOffset, link.c_str(), (link.size() + 1) * sizeof(WCHAR));
  return bytes;
}

// Tells every window registered for one of a device's interface classes (or
// for all classes), one message per interface, every change of a pass in
// order, and journals which windows each change reached.
void BroadcastDeviceChanges(const std::vector<DeviceChange>& changes) {
  std::vector<BoundedSend> sends;
  std::vector<size_t> changeOf;  // index into `changes` of each send
  {
    auto& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (size_t c = 0; c < changes.size(); ++c) {
      const DeviceChange& change = changes[c];
      for (const GUID& cls : change.interfaces) {
        for (const auto& reg : r.list) {
          if (!reg.allClasses && !SameGuid(reg.interfaceClass, cls)) continue;
          BoundedSend send;
          send.hwnd = reg.hwnd;
          send.message = WM_DEVICECHANGE;
          send.wParam = change.arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
          send.payload = BroadcastPayload(InterfaceLink(change.instanceId, cls), cls);
          sends.push_back(send);
          changeOf.push_back(c);
        }
      }
    }
  }
  if (sends.empty()) return;
  std::vector<std::string> names;
  for (const auto& send : sends) names.push_back(WindowClassOf(send.hwnd));
  std::vector<bool> handled;
  SendMessagesBounded(sends, kBroadcastTimeoutMs, &handled);
  auto& m = Model();
  ModelLock lock(m.mutex);
  for (size_t c = 0; c < changes.size(); ++c) {
    std::string windows;
    size_t count = 0, late = 0;
    for (size_t i = 0; i < sends.size(); ++i) {
      if (changeOf[i] != c) continue;
      ++count;
      if (!handled[i]) ++late;
      if (windows.find("\"" + names[i] + "\"") != std::string::npos) continue;
      windows += (windows.empty() ? "\"" : ", \"") + names[i] + "\"";
    }
    if (!count) continue;
    const DeviceChange& change = changes[c];
    std::string what = std::string(change.arrival ? "arrival" : "removal") + " broadcast to " + windows;
    if (late) what += " (" + std::to_string(late) + " of " + std::to_string(count) + " messages not handled in time)";
    Journal(change.instanceId, what,
            change.arrival ? "WM_DEVICECHANGE(DBT_DEVICEARRIVAL)" : "WM_DEVICECHANGE(DBT_DEVICEREMOVECOMPLETE)");
  }
}

// A destroyed window's registrations go with it, so broadcasts stop reaching it.
void DropDeviceNotifications(HWND hwnd) {
  auto& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.list.begin(); it != r.list.end();) it = it->hwnd == hwnd ? r.list.erase(it) : it + 1;
}

// Before the first registration: from then on devices' changes are broadcast
// and destroyed windows are dropped.
void WatchDeviceChanges() {
  static std::once_flag once;
  std::call_once(once, [] {
    OnDeviceArrival(BroadcastDeviceChanges);
    OnWindowDestroyed(DropDeviceNotifications);
  });
}

}  // namespace

namespace winsim {
namespace internal {

void BroadcastDevnodesChanged() {
  // No data and no registration: every top-level window hears that the tree
  // changed, as Windows tells them whenever a node comes, goes, starts or stops.
  std::vector<BoundedSend> sends;
  for (HWND hwnd : TopLevelWindows()) {
    BoundedSend send;
    send.hwnd = hwnd;
    send.message = WM_DEVICECHANGE;
    send.wParam = DBT_DEVNODES_CHANGED;
    sends.push_back(send);
  }
  if (!sends.empty()) SendMessagesBounded(sends, kBroadcastTimeoutMs);
}

}  // namespace internal
}  // namespace winsim

WINSIM_API HDEVNOTIFY RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  WINSIM_FAIL_POINT(nullptr);
  if (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // no services run here
    return nullptr;
  }
  if (Flags & ~DWORD(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HWND hwnd = static_cast<HWND>(hRecipient);
  if (!IsLiveWindow(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
  if (!header || header->dbch_size < sizeof(DEV_BROADCAST_HDR)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  Registration reg;
  reg.hwnd = hwnd;
  reg.allClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
  if (header->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // file handle notifications are not simulated
    return nullptr;
  }
  if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE ||
      header->dbch_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  std::memcpy(&reg.interfaceClass,
              static_cast<const BYTE*>(NotificationFilter) + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid),
              sizeof(GUID));
  WatchDeviceChanges();
  auto& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  reg.handle = reinterpret_cast<HDEVNOTIFY>(r.nextHandle);
  r.nextHandle += 0x10;
  r.list.push_back(reg);
  SetLastError(ERROR_SUCCESS);
  return reg.handle;
}

WINSIM_API BOOL UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  WINSIM_FAIL_POINT(FALSE);
  auto& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (auto it = r.list.begin(); it != r.list.end(); ++it) {
    if (it->handle == Handle) {
      r.list.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

WINSIM_API BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  WINSIM_FAIL_POINT(FALSE);
  auto& m = Model();
  ModelLock lock(m.mutex);
  winsim::ExitWindowsRecord record;
  record.timeMs = ElapsedMs();
  record.flags = uFlags;
  record.reason = dwReason;
  record.privilegeEnabled = m.shutdownPrivilegeEnabled;
  // Logging off needs no privilege; shutting down or restarting does.
  bool needsPrivilege = (uFlags & 0xFF & ~UINT(EWX_FORCE)) != EWX_LOGOFF;
  record.accepted = !needsPrivilege || m.shutdownPrivilegeEnabled;
  m.exitWindows.push_back(record);
  Journal(u"", record.accepted ? "restart requested" : "restart refused: privilege not enabled", "ExitWindowsEx");
  if (!record.accepted) {
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
  }
  return TRUE;
}
