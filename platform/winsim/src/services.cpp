// advapi32 service control manager: the services of the machine description
// can be opened (the class filter editor checks that a filter is installed).
#include <set>

#include "devices.h"

using namespace winsim::internal;

namespace {

struct ScObject {
  bool manager = false;
  std::u16string service;
};

SC_HANDLE FailSc(DWORD error) {
  SetLastError(error);
  return nullptr;
}

}  // namespace

WINSIM_API SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD) {
  WINSIM_FAIL_POINT(nullptr);
  if (!IsLocalMachine(lpMachineName)) return FailSc(RPC_S_SERVER_UNAVAILABLE);
  if (lpDatabaseName && !EqualNoCase(FromW(lpDatabaseName), SERVICES_ACTIVE_DATABASEW))
    return FailSc(ERROR_DATABASE_DOES_NOT_EXIST);
  ModelLock lock(Model().mutex);
  auto* object = new ScObject;
  object->manager = true;
  LiveObjects<ScObject>().insert(object);
  return reinterpret_cast<SC_HANDLE>(object);
}

WINSIM_API SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD) {
  WINSIM_FAIL_POINT(nullptr);
  ModelLock lock(Model().mutex);
  auto* manager = reinterpret_cast<ScObject*>(hSCManager);
  if (!LiveObjects<ScObject>().count(manager) || !manager->manager) return FailSc(ERROR_INVALID_HANDLE);
  if (!lpServiceName) return FailSc(ERROR_INVALID_ADDRESS);
  std::u16string name = FromW(lpServiceName);
  if (name.empty() || name.size() > 256) return FailSc(ERROR_INVALID_NAME);
  for (const auto& s : Model().services)
    if (EqualNoCase(s, name)) {
      auto* object = new ScObject;
      object->service = s;
      LiveObjects<ScObject>().insert(object);
      return reinterpret_cast<SC_HANDLE>(object);
    }
  return FailSc(ERROR_SERVICE_DOES_NOT_EXIST);
}

WINSIM_API BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
  WINSIM_FAIL_POINT(FALSE);
  ModelLock lock(Model().mutex);
  auto* object = reinterpret_cast<ScObject*>(hSCObject);
  if (!LiveObjects<ScObject>().erase(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete object;
  return TRUE;
}
