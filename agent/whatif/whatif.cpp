// whatif: what a device policy would do on a machine, before it does it. It
// loads a machine description (a capture of a real machine, hwctl capture)
// into the simulated Windows, installs a scratch agent with the candidate
// policy in the machine's sandbox, runs the real plug-in through its exports
// as the agent's helper process does, on the virtual clock, plugs the given
// devices, and reports what the module did, in its own words.
//
//   whatif --machine CAPTURE --policy POLICY [--plug INSTANCE-ID ...]
//          [--session N] [--json] [--explain INSTANCE-ID]
//
// Exit code: 0 done, 2 done and something in the LOCKOUT RISK section, 1 bad
// input (the reason on standard error).
#include <fcntl.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/vaultcommon/HostText.h"
#include "agent/host/StartPlugin.h"
#include "agent/vaultstrategy/PolicyStore.h"
#include "platform/winapi.h"
#include "whatif_report.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace fs = std::filesystem;

namespace {

const char kInstallDir[] = "C:\\Vault\\";  // of the scratch agent, inside the machine's sandbox
const int kBadInput = 1;
const int kLockout = 2;

struct Options {
  std::string machine, policy, explain;
  std::vector<std::string> plugs;
  unsigned session = 1;
  bool json = false;
};

[[noreturn]] void Exit(int code) {
  fflush(stdout);
  fflush(stderr);
  // The module's threads never stop: end before static destructors run under them.
  _exit(code);
}

std::string g_scratch;  // the scratch folder, once made; removed at the end

[[noreturn]] void Fail(const std::string& why) {
  fprintf(stderr, "whatif: %s\n", why.c_str());
  std::error_code ignored;
  if (!g_scratch.empty()) fs::remove_all(g_scratch, ignored);
  Exit(kBadInput);
}

void Usage(FILE* out) {
  fprintf(out,
          "usage: whatif --machine CAPTURE --policy POLICY [--plug INSTANCE-ID ...] [--session N] [--json]\n"
          "              [--explain INSTANCE-ID]\n"
          "  --machine CAPTURE    machine description (hwctl capture on the machine, or examples/machines)\n"
          "  --policy POLICY      the candidate policy (the format of config\\policy.json)\n"
          "  --plug INSTANCE-ID   a known device to plug in once the module settled (repeatable)\n"
          "  --session N          the logged-on user's session (default 1)\n"
          "  --json               one JSON document instead of the text report\n"
          "  --explain ID         the whole chain for one device\n"
          "exit code: 0, 2 when the LOCKOUT RISK section is not empty, 1 for bad input\n"
          "WHATIF_KEEP=1 in the environment keeps the scratch sandbox (the module's log, the agent's files)\n");
}

Options ParseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      Exit(0);
    }
    if (arg == "--json") {
      o.json = true;
      continue;
    }
    if (arg != "--machine" && arg != "--policy" && arg != "--plug" && arg != "--session" && arg != "--explain") {
      Usage(stderr);
      Fail("unknown argument \"" + arg + "\"");
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') Fail(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--machine")
      o.machine = value;
    else if (arg == "--policy")
      o.policy = value;
    else if (arg == "--plug")
      o.plugs.push_back(value);
    else if (arg == "--explain")
      o.explain = value;
    else {
      char* end = nullptr;
      unsigned long n = strtoul(value.c_str(), &end, 10);
      if (*end != '\0' || value[0] == '-' || n > 0xFFFFu)
        Fail("--session needs a session number, not \"" + value + "\"");
      o.session = static_cast<unsigned>(n);
    }
  }
  if (o.machine.empty() || o.policy.empty()) {
    Usage(stderr);
    Fail("--machine and --policy are required");
  }
  return o;
}

using hosttext::ReadFile;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) Fail("cannot write " + path);
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  std::string text;
  if (!ReadFile(path, &text)) return lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

using whatif::JsonText;
using whatif::JsonTexts;

// The description as whatif runs it: in a scratch sandbox, on the virtual
// clock, with the scratch agent's installation folder and this process seen
// as the agent's helper (audit records and tips on).
// Deeper than any machine description is; the writer that hands the
// description on to winsim recurses once per level.
const int kMaxNesting = 64;

// The deepest nesting of arrays and objects in a JSON text (strings skipped).
int NestingDepth(const std::string& text) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

std::string PrepareDescription(rapidjson::Document& doc, const std::string& sandbox) {
  auto& a = doc.GetAllocator();
  for (const char* key : {"sandbox", "clock", "commandLine"}) doc.RemoveMember(key);
  doc.AddMember("sandbox", rapidjson::Value(sandbox.c_str(), a), a);
  doc.AddMember("clock", "virtual", a);
  doc.AddMember("commandLine", rapidjson::Value("\"C:\\Vault\\x64\\vaulthelper.exe\" -embedding", a), a);
  if (!doc.HasMember("registry")) doc.AddMember("registry", rapidjson::Value(rapidjson::kArrayType), a);
  if (!doc["registry"].IsArray()) Fail("the machine description's \"registry\" must be an array");
  // Whatever agent the machine had, the scratch one is the one the module finds.
  for (auto& key : doc["registry"].GetArray())
    if (key.IsObject() && key.HasMember("values") && key["values"].IsObject())
      key["values"].RemoveMember("UninstallExe");
  rapidjson::Value values(rapidjson::kObjectType);
  values.AddMember("UninstallExe", "C:\\Vault\\uninst.exe", a);
  rapidjson::Value key(rapidjson::kObjectType);
  key.AddMember("key", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VaultServiceHelper", a);
  key.AddMember("values", values, a);
  doc["registry"].PushBack(key, a);
  return hosttext::JsonText(doc);
}

// Everything whatif knows of one device of the description.
std::vector<whatif::MachineDevice> DescribedDevices(const rapidjson::Document& doc) {
  std::vector<whatif::MachineDevice> devices;
  std::vector<std::pair<std::string, std::string>> classes;  // guid, name
  if (doc.HasMember("classes") && doc["classes"].IsArray())
    for (const auto& c : doc["classes"].GetArray())
      if (c.IsObject()) classes.emplace_back(JsonText(c, "guid"), JsonText(c, "name"));
  if (!doc.HasMember("devices") || !doc["devices"].IsArray()) return devices;
  for (const auto& d : doc["devices"].GetArray()) {
    if (!d.IsObject()) continue;
    whatif::MachineDevice m;
    m.id = JsonText(d, "id");
    m.parent = JsonText(d, "parent");
    m.className = JsonText(d, "class");
    std::string guid = JsonText(d, "classGuid");
    for (const auto& c : classes)
      if (!guid.empty() && strcasecmp(c.first.c_str(), guid.c_str()) == 0) m.className = c.second;
    m.name = JsonText(d, "friendlyName");
    if (m.name.empty()) m.name = JsonText(d, "name");
    if (m.name.empty()) m.name = JsonText(d, "description");
    m.ids = JsonTexts(d, "hw");
    for (const std::string& id : JsonTexts(d, "compat")) m.ids.push_back(id);
    m.interfaces = JsonTexts(d, "interfaces");
    std::string status = JsonText(d, "status");
    m.status = d.HasMember("status") && d["status"].IsUint()
                   ? d["status"].GetUint()
                   : static_cast<unsigned>(strtoul(status.c_str(), nullptr, 0));
    m.inUse = d.HasMember("inUse") && d["inUse"].IsBool() && d["inUse"].GetBool();
    devices.push_back(std::move(m));
  }
  return devices;
}

// Lets the module work until nothing changes any more: at least `minimumMs`
// (its start-up gate, start delays), then three of its one-second passes
// without a device change. Time is the virtual clock's: waiting costs only
// the module's own work.
void Settle(unsigned minimumMs) {
  size_t lastJournal = static_cast<size_t>(-1);
  int quiet = 0;
  for (unsigned waited = 0; waited < 120000 && (waited < minimumMs || quiet < 3); waited += 1000) {
    Sleep(1000);
    winsim::WaitForDeviceIdle(60000);
    winsim::WaitForQuietMachine(10000);
    size_t journal = winsim::DeviceJournal().size();
    quiet = journal == lastJournal ? quiet + 1 : 0;
    lastJournal = journal;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseArguments(argc, argv);

  std::string machineText, policyText, error;
  if (!ReadFile(options.machine, &machineText)) Fail("cannot read the machine description " + options.machine);
  if (NestingDepth(machineText) > kMaxNesting)
    Fail(options.machine + ": not a machine description: nested deeper than " + std::to_string(kMaxNesting) +
         " levels");
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(
      machineText.c_str(), machineText.size());
  if (doc.HasParseError())
    Fail(options.machine + ": not a machine description: " + rapidjson::GetParseError_En(doc.GetParseError()) +
         " at offset " + std::to_string(doc.GetErrorOffset()));
  if (!doc.IsObject()) Fail(options.machine + ": a machine description is a JSON object");
  if (!ReadFile(options.policy, &policyText)) Fail("cannot read the policy " + options.policy);
  vaultstrategy::Policy policy;
  if (!vaultstrategy::ParsePolicy(policyText, &policy, &error)) Fail(options.policy + ": " + error);

  char scratchTemplate[4096];
  const char* tmp = getenv("TMPDIR");
  snprintf(scratchTemplate, sizeof(scratchTemplate), "%s/whatif-XXXXXX", tmp != nullptr && *tmp ? tmp : "/tmp");
  if (mkdtemp(scratchTemplate) == nullptr) Fail(std::string("cannot make a scratch folder: ") + strerror(errno));
  const std::string scratch = g_scratch = scratchTemplate;
  const std::string sandbox = scratch + "/c";

  std::string json = PrepareDescription(doc, sandbox);
  std::string baseDir = fs::absolute(options.machine).parent_path().string();
  if (!winsim::LoadMachineJson(json, baseDir, &error)) Fail(options.machine + ": " + error);
  for (const std::string& id : options.plugs)
    if (!winsim::GetDeviceState(id).exists) Fail("--plug " + id + ": the machine has no such device");
  if (!options.explain.empty() && !winsim::GetDeviceState(options.explain).exists)
    Fail("--explain " + options.explain + ": the machine has no such device");

  const std::string install = winsim::HostPath(kInstallDir) + "/";
  for (const char* dir : {"config", "tpmlog", "audit", "notify", "x64"}) fs::create_directories(install + dir);
  WriteFile(install + "config/agent.json",
            "{\"sessionId\": " + std::to_string(options.session) + ", \"settings\": {\"7\": 0, \"46\": 0}}");
  WriteFile(install + "config/policy.json", policyText);

  std::vector<whatif::MachineDevice> machine = DescribedDevices(doc);
  for (auto& d : machine) {
    winsim::DeviceState s = winsim::GetDeviceState(d.id);
    d.disabledBefore = s.disabled || s.disabledGlobal;
    d.pendingBefore = s.pendingReboot;
  }

  // The agent's libraries print what they show the user; the report owns
  // standard output.
  fflush(stdout);
  int savedStdout = dup(1);
  int devNull = open("/dev/null", O_WRONLY);
  if (savedStdout < 0 || devNull < 0 || dup2(devNull, 1) < 0) Fail("cannot redirect the agent's output");
  close(devNull);

  std::string why;
  if (!host::StartPlugin(&why)) Fail(why);
  Settle(5000);
  for (const std::string& id : options.plugs) winsim::PlugDevice(id);
  if (!options.plugs.empty()) Settle(3000);
  winsim::WaitForQuietMachine(10000);

  for (auto& d : machine) {
    winsim::DeviceState s = winsim::GetDeviceState(d.id);
    d.plugged = s.plugged;
    d.presentAfter = s.present;
    d.startedAfter = s.started;
    d.disabledAfter = s.disabled || s.disabledGlobal;
    d.pendingAfter = s.pendingReboot;
  }
  std::string journalText;
  ReadFile(install + "tpmlog/decisions_device.jsonl", &journalText);
  whatif::Report report =
      whatif::BuildReport(machine, whatif::ParseJournal(journalText), Lines(install + "audit/audit.jsonl"),
                          Lines(install + "notify/notifications.jsonl"));

  fflush(stdout);
  dup2(savedStdout, 1);
  close(savedStdout);
  std::string out = options.json ? whatif::RenderJson(report) : whatif::RenderText(report, options.explain);
  fwrite(out.data(), 1, out.size(), stdout);
  std::error_code ignored;
  // WHATIF_KEEP keeps the sandbox: the module's whole log, the agent's files.
  if (getenv("WHATIF_KEEP") == nullptr)
    fs::remove_all(scratch, ignored);
  else
    fprintf(stderr, "whatif: the sandbox is kept in %s\n", sandbox.c_str());
  Exit(report.lockout.empty() ? 0 : kLockout);
}
