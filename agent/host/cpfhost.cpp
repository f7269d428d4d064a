// cpfhost: the agent's host process in miniature. It loads the DeviceManager
// plug-in, calls its exports in the framework's order with a real run context
// and callback table, prints what the plug-in answered, starts the module and
// lets it run. Built twice: as cpfhost and as vaulthelper, the agent's helper
// process, in which the module also writes audit records and shows tips.
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <mutex>
#include <string>

#include "HostInterface.h"
#include "common/util/MemBuffer.h"
#include "host_platform.h"
#include "host_scenario.h"

namespace {

using namespace host;

// ---- Printing ----

std::string Utf16ToUtf8(const unsigned char* bytes, size_t units) {
  std::string out;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = static_cast<uint32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
      uint32_t low = static_cast<uint32_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

template <typename T>
T ReadAt(const unsigned char* base, size_t offset) {
  T value;
  memcpy(&value, base + offset, sizeof(value));
  return value;
}

// The plug-in record, read by position: UTF-16 texts of 1024 units, the
// integers, the flag and the element counts of the three maps.
void PrintRecord(const unsigned char* record) {
  static const struct {
    const char* label;
    size_t offset;
  } texts[] = {{"name", 40},    {"vendor", 2088},   {"text3", 4136}, {"description", 6184},
               {"text5", 8232}, {"support", 10280}, {"name2", 12340}};
  for (const auto& text : texts)
    printf("record.%s = %s\n", text.label, Utf16ToUtf8(record + text.offset, 1024).c_str());
  printf("record.int64 = %" PRId64 "\n", ReadAt<int64_t>(record, 12328));
  printf("record.int32 = %" PRId32 "\n", ReadAt<int32_t>(record, 12336));
  printf("record.flag = %u\n", static_cast<unsigned>(record[14388]));
  printf("record.mapA.count = %" PRIu64 "\n", ReadAt<uint64_t>(record, 14392 + 8));
  printf("record.mapB.count = %" PRIu64 "\n", ReadAt<uint64_t>(record, 14408 + 8));
  printf("record.mapC.count = %" PRIu64 "\n", ReadAt<uint64_t>(record, 14424 + 8));
  printf("record.tail64 = %" PRId64 "\n", ReadAt<int64_t>(record, 14440));
}

void PrintTable(const CallbackTable& table) {
  printf("table.version = %u\n", table.version);
  for (int slot = 1; slot <= 7; ++slot) {
    const void* value = table.slots[slot - 1];
    const char* state = value == nullptr ? "null" : value == reinterpret_cast<const void*>(&HostSlot3) ? "host" : "set";
    printf("table.slot%d = %s\n", slot, state);
  }
  printf("table.slot6_is_slot7 = %s\n", table.slots[5] == table.slots[6] ? "yes" : "no");
}

void QueryInfo(PFN_cpf_QueryInfo queryInfo) {
  unsigned char block[1024] = {};
  uint32_t size = sizeof(block);
  memcpy(block, &size, sizeof(size));
  uint32_t rc = queryInfo(block);
  printf("cpf_QueryInfo = %u\n", rc);
  printf("info.size = %u\n", ReadAt<uint32_t>(block, 0));
  printf("info.word2 = %u (0x%X)\n", ReadAt<uint32_t>(block, 4), ReadAt<uint32_t>(block, 4));
  printf("info.word3 = %u\n", ReadAt<uint32_t>(block, 8));
  bool restZero = true;
  for (size_t i = 12; i < sizeof(block); ++i) restZero = restZero && block[i] == 0;
  printf("info.rest_zero = %s\n", restZero ? "yes" : "no");
}

void GetName(PFN_cpf_GetName getName) {
  CMemBuffer name;
  uint32_t rc = getName(&name);
  printf("cpf_GetName = %u\n", rc);
  printf("name.size = %" PRId64 "\n", name.GetSize());
  size_t units = name.GetBuffer() == nullptr ? 0 : static_cast<size_t>(name.GetSize()) / 2;
  printf("name = %s\n", Utf16ToUtf8(name.GetBuffer(), units).c_str());
}

void Usage(FILE* out, const char* self) {
  fprintf(out,
          "usage: %s [--plugin PATH] [--machine FILE] [--scenario FILE] [--seconds N] [--start-arg N]\n"
          "  --plugin PATH    the plug-in to load (default: DeviceManager.dll beside the host)\n"
          "  --machine FILE   machine description for the simulated Windows (simulated build only)\n"
          "  --scenario FILE  timed events to play after the module started\n"
          "  --seconds N      run N seconds after start (default: until Ctrl-C)\n"
          "  --start-arg N    the start argument handed to cpf_Start (default 0)\n",
          self);
}

bool ParseArguments(int argc, char** argv, HostOptions* options) {
  const char* self = options->self.c_str();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout, argv[0]);
      fflush(stdout);
      HostExit(0);
    }
    if (arg != "--plugin" && arg != "--machine" && arg != "--scenario" && arg != "--seconds" && arg != "--start-arg") {
      fprintf(stderr, "%s: unknown option %s\n", self, arg.c_str());
      return false;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "%s: %s needs a value\n", self, arg.c_str());
      return false;
    }
    std::string value = argv[++i];
    char* end = nullptr;
    if (arg == "--plugin") {
      options->pluginPath = value;
    } else if (arg == "--machine") {
      options->machinePath = value;
    } else if (arg == "--scenario") {
      options->scenarioPath = value;
    } else if (arg == "--seconds") {
      long seconds = strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || seconds < 0 || seconds > 86400 * 365) {
        fprintf(stderr, "%s: --seconds needs a number of seconds, not \"%s\"\n", self, value.c_str());
        return false;
      }
      options->seconds = static_cast<int>(seconds);
    } else if (arg == "--start-arg") {
      options->startArg = strtoull(value.c_str(), &end, 0);
      if (value.empty() || *end != '\0') {
        fprintf(stderr, "%s: --start-arg needs a number, not \"%s\"\n", self, value.c_str());
        return false;
      }
    } else {
      fprintf(stderr, "%s: unknown option %s\n", self, arg.c_str());
      return false;
    }
  }
  return true;
}

[[noreturn]] void Finish(int code) {
  fflush(stdout);
  fflush(stderr);
  HostExit(code);
}

std::string g_self = "cpfhost";

// The name the host was started by, without its folder or .exe.
std::string SelfName(const char* argv0) {
  std::string name = argv0 != nullptr ? argv0 : "";
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  if (name.size() > 4 &&
      (name.compare(name.size() - 4, 4, ".exe") == 0 || name.compare(name.size() - 4, 4, ".EXE") == 0))
    name.resize(name.size() - 4);
  return name.empty() ? "cpfhost" : name;
}

template <typename Fn>
Fn Export(void* plugin, const char* name) {
  Fn fn = reinterpret_cast<Fn>(HostFindExport(plugin, name));
  if (fn == nullptr) {
    fprintf(stderr, "%s: the plug-in does not export %s\n", g_self.c_str(), name);
    Finish(3);
  }
  return fn;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  HostOptions options;
  options.self = g_self = SelfName(argc > 0 ? argv[0] : nullptr);
  if (!ParseArguments(argc, argv, &options)) {
    Usage(stderr, argv[0]);
    Finish(1);
  }
  std::string error;
  if (!HostPlatformInit(options, &error) || !HostCheckScenario(options, &error)) {
    fprintf(stderr, "%s: %s\n", g_self.c_str(), error.c_str());
    Finish(1);
  }
  HostInstallStopHandler();

  std::string pluginPath = options.pluginPath.empty() ? HostOwnDir() + "DeviceManager.dll" : options.pluginPath;
  printf("host.plugin = %s\n", pluginPath.c_str());
  void* plugin = HostLoadPlugin(pluginPath, &error);
  if (plugin == nullptr) {
    fprintf(stderr, "%s: cannot load %s: %s\n", g_self.c_str(), pluginPath.c_str(), error.c_str());
    Finish(2);
  }
  auto cpfInitialize = Export<PFN_cpfInitialize>(plugin, "cpfInitialize");
  auto cpfGetInfo = Export<PFN_cpfGetInfo>(plugin, "cpfGetInfo");
  auto cpfRun = Export<PFN_cpfRun>(plugin, "cpfRun");
  auto cpfShutdown = Export<PFN_cpfShutdown>(plugin, "cpfShutdown");

  unsigned initialized = cpfInitialize();
  printf("cpfInitialize = %u\n", initialized);
  if (initialized == 0) {
    fprintf(stderr, "%s: the plug-in refused to initialize\n", g_self.c_str());
    Finish(3);
  }

  const unsigned char* record = static_cast<const unsigned char*>(cpfGetInfo());
  if (record == nullptr)
    printf("record = null\n");
  else
    PrintRecord(record);

  CallbackTable table;
  RunContext context;
  PrepareRunContext(context, table);
  printf("cpfRun = %u\n", static_cast<unsigned>(cpfRun(&context)));
  printf("context.lock_calls = %d\n", ContextLocks().lockCalls);
  printf("context.unlock_calls = %d\n", ContextLocks().unlockCalls);
  PrintTable(table);

  auto queryInfo = reinterpret_cast<PFN_cpf_QueryInfo>(table.slots[0]);
  auto start = reinterpret_cast<PFN_cpf_Start>(table.slots[1]);
  auto getStatus = reinterpret_cast<PFN_cpf_GetStatus>(table.slots[3]);
  auto getName = reinterpret_cast<PFN_cpf_GetName>(table.slots[4]);
  if (queryInfo != nullptr) QueryInfo(queryInfo);
  if (getName != nullptr) GetName(getName);
  if (getStatus != nullptr) {
    uint32_t status = 0xFFFFFFFF;
    uint32_t rc = getStatus(&status);
    printf("cpf_GetStatus = %u\n", rc);
    printf("status = %u\n", status);
  }
  if (start != nullptr) {
    uint32_t rc = start(reinterpret_cast<void*>(static_cast<uintptr_t>(options.startArg)));
    printf("cpf_Start(0x%llX) = %u\n", options.startArg, rc);
  } else {
    printf("cpf_Start = not offered\n");
  }

  HostPlayScenario(options);

  if (options.seconds >= 0)
    printf("host.running = %d s\n", options.seconds);
  else
    printf("host.running = until Ctrl-C\n");
  // One long wait until the deadline or Ctrl-C: an idle host must not wake.
  const unsigned kLongWaitMs = 3600 * 1000;
  unsigned long long deadline =
      HostNowMs() + 1000ull * static_cast<unsigned>(options.seconds < 0 ? 0 : options.seconds);
  while (!HostStopRequested()) {
    unsigned waitMs = kLongWaitMs;
    if (options.seconds >= 0) {
      unsigned long long now = HostNowMs();
      if (now >= deadline) break;
      if (deadline - now < kLongWaitMs) waitMs = static_cast<unsigned>(deadline - now);
    }
    HostWaitForStop(waitMs);
  }

  printf("cpfShutdown = %u\n", static_cast<unsigned>(cpfShutdown()));
  Finish(0);
}
