/* Loads DeviceManager.dll as the agent's host does and checks what the host
 * relies on, reading every structure by byte offset. Exits 0 when all holds. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
typedef HMODULE library_t;
static library_t OpenLibrary(const char* path) {
  /* ctest hands over a Unix path; under Wine that is drive Z:. */
  char windowsPath[1024];
  if (path[0] == '/' && strlen(path) + 3 < sizeof(windowsPath)) {
    size_t i;
    snprintf(windowsPath, sizeof(windowsPath), "Z:%s", path);
    for (i = 0; windowsPath[i] != 0; ++i)
      if (windowsPath[i] == '/') windowsPath[i] = '\\';
    path = windowsPath;
  }
  return LoadLibraryA(path);
}
static void* Symbol(library_t library, const char* name) { return (void*)GetProcAddress(library, name); }
#else
#include <dlfcn.h>
typedef void* library_t;
static library_t OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* Symbol(library_t library, const char* name) { return dlsym(library, name); }
#endif

/* The host compiler's virtual table of a lockable object. */
struct lockable_vtable {
  void* (*destroy)(void* self, unsigned int flags);
  uint32_t (*lock)(void* self);
  uint32_t (*try_lock)(void* self);
  uint32_t (*unlock)(void* self);
};

struct run_context {
  const struct lockable_vtable* vtable; /* 0 */
  void* mutex;                          /* 8 */
  unsigned char security[24];           /* 16 */
  int32_t max_index;                    /* 40 */
  int32_t padding;
  void* entries[1]; /* 48 */
};

struct callback_table {
  uint32_t version; /* 0 */
  uint32_t padding;
  uint32_t (*query_info)(void* block);    /* 8 */
  uint32_t (*start)(void* argument);      /* 16 */
  void* slot3;                            /* 24 */
  uint32_t (*get_status)(uint32_t* word); /* 32 */
  uint32_t (*get_name)(void* buffer);     /* 40 */
  uint32_t (*slot6)(void* argument);      /* 48 */
  uint32_t (*slot7)(void* argument);      /* 56 */
};

/* The agent's byte buffer. */
struct mem_buffer {
  unsigned char* data;
  int64_t size;
  int64_t capacity;
  int64_t grow;
  uint32_t reserved;
};

static int g_failures;
static int g_locks, g_unlocks;

#define CHECK(condition)                                                            \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++g_failures;                                                                 \
    }                                                                               \
  } while (0)

/* Unused parameters are not warned about in this build. */
static void* ContextDestroy(void* self, unsigned int flags) { return self; }
static uint32_t ContextLock(void* self) { return ++g_locks, 0; }
static uint32_t ContextTryLock(void* self) { return 0; }
static uint32_t ContextUnlock(void* self) { return ++g_unlocks, 1; }
static const struct lockable_vtable g_contextVtable = {ContextDestroy, ContextLock, ContextTryLock, ContextUnlock};
static uint32_t HostSlot3(void* argument) { return 0; }

static uint32_t Word(const void* base, size_t offset) {
  uint32_t value;
  memcpy(&value, (const unsigned char*)base + offset, sizeof(value));
  return value;
}

/* True when bytes [from, end) of `base` all equal `value`. */
static int AllBytes(const unsigned char* base, size_t from, size_t end, unsigned char value) {
  for (; from < end; ++from)
    if (base[from] != value) return 0;
  return 1;
}

/* Compares UTF-16 text at `offset` with ASCII `expected`, terminator included. */
static int TextIs(const void* base, size_t offset, const char* expected) {
  const unsigned char* units = (const unsigned char*)base + offset;
  size_t i = 0;
  for (;; ++i) {
    uint16_t unit = (uint16_t)(units[2 * i] | (units[2 * i + 1] << 8));
    if (unit != (unsigned char)expected[i]) return 0;
    if (unit == 0) return 1;
  }
}

int main(int argc, char** argv) {
  library_t plugin;
  unsigned char (*initialize)(void);
  void* (*get_info)(void);
  unsigned char (*run)(void*);
  unsigned char (*shutdown)(void);
  const unsigned char* record;
  const struct lockable_vtable* recordVtable;
  struct callback_table table;
  struct run_context context;
  unsigned char block[1024];
  struct mem_buffer name = {NULL, 0, 0, 1024, 0};
  uint32_t status = 7;
  int64_t value64;
  int32_t value32;
  size_t i;

  if (argc < 2) {
    fprintf(stderr, "usage: %s <path of DeviceManager.dll>\n", argv[0]);
    return 2;
  }
  plugin = OpenLibrary(argv[1]);
  if (plugin == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    return 1;
  }
  *(void**)&initialize = Symbol(plugin, "cpfInitialize");
  *(void**)&get_info = Symbol(plugin, "cpfGetInfo");
  *(void**)&run = Symbol(plugin, "cpfRun");
  *(void**)&shutdown = Symbol(plugin, "cpfShutdown");
  if (!initialize || !get_info || !run || !shutdown) {
    fprintf(stderr, "an entry point is missing\n");
    return 1;
  }

  CHECK(initialize() == 1);

  record = (const unsigned char*)get_info();
  CHECK(record != NULL);
  if (record == NULL) return 1;
  CHECK(TextIs(record, 40, "DeviceManager"));
  CHECK(TextIs(record, 2088, "Brightmoor"));
  CHECK(TextIs(record, 4136, "None."));
  CHECK(TextIs(record, 6184, "Manger device in system"));
  CHECK(TextIs(record, 8232, "None."));
  CHECK(record[10280] != 0);
  memcpy(&value64, record + 12328, 8);
  CHECK(value64 == 1);
  memcpy(&value32, record + 12336, 4);
  CHECK(value32 == 1);
  CHECK(TextIs(record, 12340, "DeviceManager"));
  CHECK(record[14388] == 1);
  for (i = 14392; i <= 14424; i += 16) {
    void* head;
    memcpy(&head, record + i, sizeof(head));
    CHECK(head != NULL);
    memcpy(&value64, record + i + 8, 8);
    CHECK(value64 == 0);
  }
  /* The record is lockable through its own table: slot 1 waits, slot 3 releases. */
  memcpy(&recordVtable, record, sizeof(recordVtable));
  CHECK(recordVtable->lock((void*)record) == 0);
  CHECK(recordVtable->unlock((void*)record) == 1);

  memset(&table, 0, sizeof(table));
  table.version = 1;
  table.slot3 = (void*)HostSlot3;
  memset(&context, 0, sizeof(context));
  context.vtable = &g_contextVtable;
  context.max_index = 0;
  context.entries[0] = &table;
  CHECK(run(&context) == 0);
  CHECK(g_locks >= 1 && g_locks == g_unlocks);
  CHECK(table.query_info != NULL && table.start != NULL && table.get_status != NULL && table.get_name != NULL);
  CHECK(table.slot3 == (void*)HostSlot3);
  CHECK(table.slot6 != NULL && table.slot6 == table.slot7);
  if (table.query_info == NULL || table.get_name == NULL || table.get_status == NULL) return 1;

  memset(block, 0x5A, sizeof(block));
  block[0] = 0xFF;
  block[1] = 0x03; /* 1023 */
  block[2] = block[3] = 0;
  CHECK(table.query_info(block) == 260); /* too small: left untouched */
  CHECK(Word(block, 0) == 1023);
  CHECK(AllBytes(block, 4, sizeof(block), 0x5A));
  CHECK(table.query_info(NULL) == 257);
  block[0] = 0x00;
  block[1] = 0x04; /* 1024 */
  CHECK(table.query_info(block) == 0);
  CHECK(Word(block, 0) == 1024);
  CHECK(Word(block, 4) == 196791);
  CHECK(Word(block, 8) == 1);
  CHECK(AllBytes(block, 12, sizeof(block), 0));

  /* The module grows the host's buffer with its own Resize. */
  CHECK(table.get_name(&name) == 0);
  CHECK(name.size == 26 && name.data != NULL);
  if (name.data != NULL) CHECK(memcmp(name.data, "D\0e\0v\0i\0c\0e\0M\0a\0n\0a\0g\0e\0r\0", 26) == 0);
  CHECK(table.get_name(&name) == 0);
  CHECK(name.size == 52 && name.capacity >= 52);
  if (name.data != NULL) CHECK(memcmp(name.data + 26, name.data, 26) == 0 && name.data[52] == 0);
  free(name.data);
  CHECK(table.get_name(NULL) == 0);

  CHECK(table.get_status(&status) == 0 && status == 0);
  CHECK(table.slot6(NULL) == 0);
  CHECK(shutdown() == 1);

  if (g_failures != 0) {
    fprintf(stderr, "%d checks failed\n", g_failures);
    return 1;
  }
  printf("plug-in host checks passed\n");
  fflush(stdout);
  return 0;
}
