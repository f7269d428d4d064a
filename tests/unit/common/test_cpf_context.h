// A run context laid out as the host's: a lockable object with the highest
// valid index at offset 40 and entries from offset 48. It counts the lock calls
// made on it; TryLock answers `tryResult`.
#pragma once
#include <cstddef>
#include "common/cpf/CpfRunContext.h"

namespace dmtest {

class FakeRunContext : public CPF::slcMutex {
 public:
  DWORD Lock() override {
    ++locks;
    return 0;
  }
  DWORD TryLock() override { return tryResult; }
  DWORD Unlock() override {
    ++unlocks;
    return 1;
  }
  slcRunContext* AsHostContext() { return reinterpret_cast<slcRunContext*>(this); }

  int32_t maxIndex = -1;
  void* entries[3] = {nullptr, nullptr, nullptr};
  int locks = 0, unlocks = 0;
  DWORD tryResult = 0;
};

}  // namespace dmtest
