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
#include <strings.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "agent/vaultcommon/HostText.h"
#include "agent/host/StartPlugin.h"
#include "agent/vaultstrategy/PolicyStore.h"
#include "platform/winapi.h"
#include "whatif_fleet.h"
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
  bool lintTrace = false;      // a lint's run on one machine: every known device plugged, the module's IDs
  whatif::FleetOptions fleet;  // the runs beyond one machine and policy
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
          "       whatif --policy POLICY --machines DIR [--jobs N] [--shard K/N] [--compare POLICY-B] [--json]\n"
          "       whatif --machine CAPTURE --policy POLICY --compare POLICY-B [--plug INSTANCE-ID ...] [--json]\n"
          "       whatif --merge FLEET-JSON ...\n"
          "  --machine CAPTURE    machine description (hwctl capture on the machine, or examples/machines)\n"
          "  --policy POLICY      the candidate policy (the format of config\\policy.json)\n"
          "  --plug INSTANCE-ID   a known device to plug in once the module settled (repeatable)\n"
          "  --session N          the logged-on user's session (default 1)\n"
          "  --json               one JSON document instead of the text report\n"
          "  --explain ID         the whole chain for one device\n"
          "  --machines DIR       every *.json of DIR by name, each a run of its own (N at once, default: cores)\n"
          "  --shard K/N          only the K-th (from 1) of N contiguous slices of DIR's sorted list\n"
          "  --compare POLICY-B   the devices whose action differs under POLICY-B\n"
          "  --merge FILE ...     one fleet document from shard documents (--json output of --machines)\n"
          "exit code: 0, 2 when the LOCKOUT RISK section is not empty (for --compare: when POLICY-B has a\n"
          "lockout risk POLICY has not), 1 for bad input (for a fleet: any machine)\n"
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
    if (arg == "--lint") {
      o.fleet.lint = true;
      continue;
    }
    if (arg == "--lint-trace") {
      o.lintTrace = true;
      continue;
    }
    if (arg == "--merge") {
      while (i + 1 < argc) o.fleet.merge.push_back(argv[++i]);
      if (o.fleet.merge.empty()) Fail("--merge needs the shard documents");
      continue;
    }
    if (arg != "--machine" && arg != "--policy" && arg != "--plug" && arg != "--session" && arg != "--explain" &&
        arg != "--machines" && arg != "--jobs" && arg != "--shard" && arg != "--compare") {
      Usage(stderr);
      Fail("unknown argument \"" + arg + "\"");
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') Fail(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--machine") {
      o.machine = value;
      o.fleet.lintMachines.push_back(value);
    } else if (arg == "--policy")
      o.policy = value;
    else if (arg == "--plug")
      o.plugs.push_back(value);
    else if (arg == "--explain")
      o.explain = value;
    else if (arg == "--machines")
      o.fleet.machines = value;
    else if (arg == "--compare")
      o.fleet.compare = value;
    else if (arg == "--jobs") {
      char* end = nullptr;
      unsigned long n = strtoul(value.c_str(), &end, 10);
      if (*end != '\0' || value[0] == '-' || n == 0 || n > 1024) Fail("--jobs needs a count, not \"" + value + "\"");
      o.fleet.jobs = static_cast<unsigned>(n);
    } else if (arg == "--shard") {
      unsigned k = 0, n = 0;
      char rest = 0;
      if (sscanf(value.c_str(), "%u/%u%c", &k, &n, &rest) != 2 || k < 1 || k > n)
        Fail("--shard needs K/N with 1 <= K <= N, not \"" + value + "\"");
      o.fleet.shard = k;
      o.fleet.shards = n;
    } else {
      char* end = nullptr;
      unsigned long n = strtoul(value.c_str(), &end, 10);
      if (*end != '\0' || value[0] == '-' || n > 0xFFFFu)
        Fail("--session needs a session number, not \"" + value + "\"");
      o.session = static_cast<unsigned>(n);
      o.fleet.session = value;
    }
  }
  if (!o.fleet.merge.empty()) return o;
  if (o.fleet.lint) {
    if (o.policy.empty()) Fail("--lint needs --policy");
    o.fleet.policy = o.policy;
    o.fleet.json = o.json;
    return o;
  }
  if (!o.fleet.machines.empty() && !o.machine.empty()) Fail("--machine and --machines exclude each other");
  if (!o.fleet.machines.empty() && !o.explain.empty()) Fail("--explain takes one --machine");
  if (!o.fleet.compare.empty() && !o.explain.empty()) Fail("--explain and --compare exclude each other");
  if (o.policy.empty() || (o.machine.empty() && o.fleet.machines.empty())) {
    Usage(stderr);
    Fail("--machine (or --machines) and --policy are required");
  }
  o.fleet.policy = o.policy;
  o.fleet.machine = o.machine;
  o.fleet.plugs = o.plugs;
  o.fleet.json = o.json;
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

// Class GUIDs compare as Windows compares them: braces optional, any case.
std::string BareGuid(const std::string& guid) {
  std::string g = guid;
  if (g.size() >= 2 && g.front() == '{' && g.back() == '}') g = g.substr(1, g.size() - 2);
  return g;
}

bool SameGuid(const std::string& a, const std::string& b) {
  return strcasecmp(BareGuid(a).c_str(), BareGuid(b).c_str()) == 0;
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
      if (!guid.empty() && SameGuid(c.first, guid)) m.className = c.second;
    // Windows' own classes are known without a "classes" entry.
    static const char* const kKnown[][2] = {
        {"4d36e96b-e325-11ce-bfc1-08002be10318", "Keyboard"},  {"4d36e96f-e325-11ce-bfc1-08002be10318", "Mouse"},
        {"745a17a0-74d3-11d0-b6fe-00a0c90f57da", "HIDClass"},  {"4d36e972-e325-11ce-bfc1-08002be10318", "Net"},
        {"4d36e967-e325-11ce-bfc1-08002be10318", "DiskDrive"}, {"36fc9e60-c465-11cf-8056-444553540000", "USB"}};
    if (m.className.empty() && !guid.empty())
      for (const auto& k : kKnown)
        if (SameGuid(k[0], guid)) m.className = k[1];
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

// For a lint: each judged device's strategy device IDs in the module's order
// with the policy library's answer to each, and what a forbid reaches that
// the guard keeps or the machine would lose.
std::string LintTrace(const whatif::Report& report, const std::map<std::string, whatif::Judgement>& judged,
                      unsigned session) {
  rapidjson::Document doc(rapidjson::kObjectType);
  auto& a = doc.GetAllocator();
  auto str = [&](const std::string& s) { return rapidjson::Value(s.c_str(), a); };
  rapidjson::Value devices(rapidjson::kArrayType), reaches(rapidjson::kArrayType);
  for (const auto& entry : judged) {
    const whatif::Judgement& j = entry.second;
    if (j.deviceIds.empty()) continue;
    rapidjson::Value d(rapidjson::kObjectType), answers(rapidjson::kArrayType), definitions(rapidjson::kArrayType);
    d.AddMember("instanceId", str(entry.first), a);
    for (const std::string& id : j.deviceIds) {
      std::map<std::string, std::string> condition = {{"deviceId_10", id}};
      std::string value, action, method, strategy;
      bool found =
          vaultstrategy::PolicyStore::Instance().FindStrategy(session, 0x10030001, &condition, &value, &action);
      if (found) {
        vaultstrategy::ElementOfText(action, "processMethod_10", &method);
        vaultstrategy::ElementOfText(value, "id", &strategy);
      }
      rapidjson::Value answer(rapidjson::kObjectType);
      answer.AddMember("deviceId", str(id), a);
      answer.AddMember("forbid", found && method == "forbid", a);
      answer.AddMember("strategyId", str(strategy), a);
      answers.PushBack(answer, a);
    }
    for (const std::string& def : j.definitions) definitions.PushBack(str(def), a);
    d.AddMember("answers", answers, a);
    d.AddMember("definitions", definitions, a);
    devices.PushBack(d, a);
  }
  for (const whatif::LockoutEntry& l : report.lockout) {
    if (l.kind == "system disk") continue;
    // A Bluetooth network goes with its radio by design: the guard does not
    // keep it, and a forbid of Bluetooth means it.
    if (l.kind == "network adapter" && strncasecmp(l.instanceId.c_str(), "BTH\\", 4) == 0) continue;
    rapidjson::Value r(rapidjson::kObjectType);
    r.AddMember("instanceId", str(l.instanceId), a);
    r.AddMember("kind", str(l.kind + ", lost through " + l.lostThrough), a);
    reaches.PushBack(r, a);
  }
  for (const whatif::DeviceReport& d : report.devices) {
    if (d.action != "guarded") continue;
    rapidjson::Value r(rapidjson::kObjectType);
    r.AddMember("instanceId", str(d.instanceId), a);
    r.AddMember("kind", str("kept running by the guard"), a);
    reaches.PushBack(r, a);
  }
  doc.AddMember("devices", devices, a);
  doc.AddMember("reaches", reaches, a);
  return hosttext::JsonText(doc) + "\n";
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseArguments(argc, argv);
  if (options.fleet.lint || !options.fleet.merge.empty() || !options.fleet.machines.empty() ||
      !options.fleet.compare.empty()) {
    // Each machine and policy is a run of this program of its own.
    options.fleet.self = fs::read_symlink("/proc/self/exe").string();
    if (options.fleet.lint) Exit(whatif::RunLint(options.fleet));
    if (!options.fleet.merge.empty()) Exit(whatif::RunMerge(options.fleet));
    Exit(options.fleet.compare.empty() ? whatif::RunFleet(options.fleet) : whatif::RunCompare(options.fleet));
  }

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
  if (options.lintTrace) {
    // Every device the machine knows, judged as it would be when plugged.
    bool plugged = false;
    for (const auto& d : machine)
      if (!winsim::GetDeviceState(d.id).present) plugged = winsim::PlugDevice(d.id) || plugged;
    if (plugged) Settle(3000);
  }
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
  if (options.lintTrace) {
    std::string trace = LintTrace(report, whatif::ParseJournal(journalText), options.session);
    fwrite(trace.data(), 1, trace.size(), stdout);
    std::error_code ignoredError;
    fs::remove_all(scratch, ignoredError);
    Exit(0);
  }
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
