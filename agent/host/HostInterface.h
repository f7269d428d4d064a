// The host's side of the plug-in framework's binary interface, laid out as the
// agent's host compiler does: the exports' and callbacks' types, a callback
// table (a version word and seven slots at offsets 8..56), and a lockable run
// context whose virtual table is a plain array of four slots (deleting
// destructor, Lock, TryLock, Unlock) so its layout does not depend on how this
// compiler places destructors. Shared by cpfhost, the scenario tests and the
// benchmarks that load the plug-in through its exports.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

class CMemBuffer;

namespace host {

typedef unsigned char (*PFN_cpfInitialize)();
typedef void* (*PFN_cpfGetInfo)();
typedef unsigned char (*PFN_cpfRun)(void* context);
typedef unsigned char (*PFN_cpfShutdown)();

typedef uint32_t (*PFN_cpf_QueryInfo)(void* block);
typedef uint32_t (*PFN_cpf_Start)(void* argument);
typedef uint32_t (*PFN_cpf_GetStatus)(uint32_t* status);
typedef uint32_t (*PFN_cpf_GetName)(CMemBuffer* name);

// Slot indexes of CallbackTable::slots (slot n at offset 8 * n).
enum { kSlotQueryInfo = 0, kSlotStart = 1, kSlotHost = 2, kSlotGetStatus = 3, kSlotGetName = 4 };

struct CallbackTable {
  uint32_t version;
  uint32_t padding;
  void* slots[7];
};
static_assert(offsetof(CallbackTable, slots) == 8 && sizeof(CallbackTable) == 64, "callback table layout");

struct RunContext {
  const void* const* vtable;
  void* mutexHandle;
  unsigned char securityAttributes[24];
  int32_t highestIndex;
  int32_t padding;
  void* entries[1];
};
static_assert(offsetof(RunContext, highestIndex) == 40 && offsetof(RunContext, entries) == 48, "run context layout");

// The context's lock: recursive, counted per thread so that an Unlock by a
// thread that holds nothing fails as a mutex release would.
struct ContextLockState {
  std::recursive_timed_mutex mutex;
  int lockCalls = 0;  // read by the host thread after cpfRun
  int unlockCalls = 0;
};
inline ContextLockState& ContextLocks() {
  static ContextLockState* state = new ContextLockState;  // outlives the module's threads
  return *state;
}
inline int& ContextHolds() {
  thread_local int holds = 0;
  return holds;
}

// The host owns the context; the plug-in never destroys it.
inline void* ContextDestroy(RunContext* self, unsigned) { return self; }
inline uint32_t ContextLock(RunContext*) {
  ContextLocks().mutex.lock();
  ++ContextHolds();
  ++ContextLocks().lockCalls;
  return 0;  // WAIT_OBJECT_0
}
inline uint32_t ContextTryLock(RunContext*) {
  if (!ContextLocks().mutex.try_lock_for(std::chrono::milliseconds(10))) return 16;  // timed out
  ++ContextHolds();
  ++ContextLocks().lockCalls;
  return 0;
}
inline uint32_t ContextUnlock(RunContext*) {
  if (ContextHolds() == 0) return 0;  // not held by this thread: a failed release
  --ContextHolds();
  ++ContextLocks().unlockCalls;
  ContextLocks().mutex.unlock();
  return 1;
}
inline const void* const* ContextVtable() {
  typedef void* (*Destroy)(RunContext*, unsigned);
  typedef uint32_t (*LockOp)(RunContext*);
  static const void* const vtable[4] = {reinterpret_cast<const void*>(static_cast<Destroy>(&ContextDestroy)),
                                        reinterpret_cast<const void*>(static_cast<LockOp>(&ContextLock)),
                                        reinterpret_cast<const void*>(static_cast<LockOp>(&ContextTryLock)),
                                        reinterpret_cast<const void*>(static_cast<LockOp>(&ContextUnlock))};
  return vtable;
}

// What the host itself keeps in slot 3; the plug-in must leave it alone.
inline uint32_t HostSlot3(void*) { return 0; }

// A run context whose entry 0 is `table`, the table's version word set to 1
// and slot 3 holding the host's own function.
inline void PrepareRunContext(RunContext& context, CallbackTable& table) {
  table = {};
  table.version = 1;
  table.slots[kSlotHost] = reinterpret_cast<void*>(&HostSlot3);
  context = {};
  context.vtable = ContextVtable();
  context.highestIndex = 0;
  context.entries[0] = &table;
}

}  // namespace host
