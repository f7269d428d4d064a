#include "common/helper/DllLoader/DllLoader.h"

#include <cstdio>
#include <string>
#include "common/util/HostIdentity.h"

namespace {

// Loads `path` and records the handle, also a null one, as the last attempt.
HMODULE LoadFrom(const DllLibrary& library, const std::string& path, std::string& errors) {
  // Never freed: the slots point into the library until the process ends.
  HMODULE handle = LoadLibraryA(path.c_str());
  library.module->store(handle, std::memory_order_relaxed);
  if (handle == nullptr) {
    char message[1024];
    snprintf(message, sizeof(message), "Load %s Error with %d!\n", path.c_str(), static_cast<int>(GetLastError()));
    errors += message;
  }
  return handle;
}

}  // namespace

eRet DllInitCheckFunction(const DllLibrary& library, std::atomic<void*>* slot) {
  if (slot->load(std::memory_order_relaxed) != nullptr) return RET_SUCCESS;

  // The first failure is only worth reporting when the second folder fails
  // too: an agent installed under x64\ is a normal layout.
  std::string errors;
  HMODULE handle = LoadFrom(library, GetModuleDir() + library.fileName, errors);
  if (handle == nullptr) handle = LoadFrom(library, GetInstallBinDir(false) + library.fileName, errors);
  if (handle == nullptr) {
    fputs(errors.c_str(), stdout);
    library.logError(errors.c_str());
    return RET_DLL_LOAD_FAILED;
  }

  for (size_t i = 0; i < library.count; ++i) {
    void* address = reinterpret_cast<void*>(GetProcAddress(handle, library.names[i]));
    library.slots[i].store(address, std::memory_order_relaxed);
    if (address == nullptr) {
      printf("Load %s Error!", library.names[i]);
      std::string line = std::string("Load ") + library.names[i] + " Error";
      library.logError(line.c_str());
    }
  }
  return slot->load(std::memory_order_relaxed) != nullptr ? RET_SUCCESS : RET_DLL_FUNC_NOT_FOUND;
}
