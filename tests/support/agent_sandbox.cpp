#include "support/agent_sandbox.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/winapi.h"
#include "support/test_support.h"
#include "agent/host/StartPlugin.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

namespace fs = std::filesystem;

namespace scenario {

namespace {

const char kInstallDir[] = "C:\\Program Files\\Vault\\";  // of "UninstallExe" in the laptop description

std::atomic<bool> g_started{false};

std::string Serialize(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string LaptopDescription() { return dmtest::ReadTextFile(DM_LAPTOP_MACHINE); }

std::string LaptopMachineJson(const std::string& sandboxDir, const std::string& devicesJson, bool realClock) {
  rapidjson::Document doc;
  std::string text = LaptopDescription();
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return "";
  doc.RemoveMember("sandbox");
  doc.AddMember("sandbox", rapidjson::Value(sandboxDir.c_str(), doc.GetAllocator()), doc.GetAllocator());
  doc.RemoveMember("clock");
  doc.AddMember("clock", rapidjson::StringRef(realClock ? "real" : "virtual"), doc.GetAllocator());
  if (!devicesJson.empty()) {
    rapidjson::Document devices(&doc.GetAllocator());
    devices.Parse(devicesJson.c_str(), devicesJson.size());
    if (devices.HasParseError() || !devices.IsArray()) return "";
    doc["devices"] = rapidjson::Value(devices, doc.GetAllocator());
  }
  return Serialize(doc);
}

AgentSandbox::AgentSandbox(const std::string& sandboxDir, const std::string& machineJson, bool realClock) {
  sandbox_ = sandboxDir.empty() ? dmtest::MakeTempDir("scenario") : sandboxDir;
  std::string json = machineJson.empty() ? LaptopMachineJson(sandbox_, "", realClock) : machineJson;
  std::string error;
  if (!winsim::LoadMachineJson(json, sandbox_, &error))
    fprintf(stderr, "scenario: machine refused: %s\n", error.c_str());
  install_ = winsim::HostPath(kInstallDir);
  if (!install_.empty() && install_.back() != '/') install_ += '/';
  for (const char* dir : {"config", "tpmlog", "audit", "notify"}) fs::create_directories(install_ + dir);
  if (!Exists("config/agent.json")) SetAgentState(0);
}

std::string AgentSandbox::Path(const std::string& relative) const { return install_ + relative; }

std::string AgentSandbox::Read(const std::string& relative) const { return dmtest::ReadTextFile(Path(relative)); }

bool AgentSandbox::Exists(const std::string& relative) const { return fs::exists(Path(relative)); }

void AgentSandbox::Write(const std::string& relative, const std::string& text) const {
  static std::atomic<int> bump{0};
  fs::path path = Path(relative);
  fs::path temporary = path.string() + ".tmp";
  dmtest::WriteTextFile(temporary.string(), text);
  // A write time always later than the last one: two edits within one clock
  // tick must still look like a change.
  fs::last_write_time(temporary, fs::file_time_type::clock::now() + std::chrono::seconds(++bump));
  fs::rename(temporary, path);
}

void AgentSandbox::SetAgentState(unsigned state) const {
  Write("config/agent.json",
        "{\"sessionId\": 1, \"userSid\": \"S-1-5-21-1004336348-1177238915-682003330-1001\", "
        "\"clientGuid\": \"6F9619FF-8B86-D011-B42D-00C04FC964FF\", "
        "\"serverAddress\": \"10.20.30.40\", \"settings\": {\"7\": " +
            std::to_string(state) + ", \"46\": " + std::to_string(logLevel_) + "}}");
}

void AgentSandbox::SetAgentState(unsigned state, unsigned logLevel) {
  logLevel_ = logLevel;
  SetAgentState(state);
}

std::vector<std::string> AgentSandbox::Lines(const std::string& relative) const {
  std::vector<std::string> lines;
  std::istringstream text(Read(relative));
  for (std::string line; std::getline(text, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

void AgentSandbox::RunAs(bool helperProcess) const {
  winsim::SetCommandLine(helperProcess ? "\"C:\\Program Files\\Vault\\x64\\vaulthelper.exe\" -embedding"
                                       : "\"C:\\Program Files\\Vault\\x64\\cpfhost.exe\"");
}

bool AgentSandbox::StartModule(std::string* why) {
  if (g_started.exchange(true)) {
    *why = "the module is already running in this process; run each test in a process of its own (ctest does)";
    return false;
  }
  return host::StartPlugin(why);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  // On the machine's clock: on a virtual clock the module runs its schedule
  // while this thread waits, and no wall time passes.
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
  while (!done()) {
    if (GetTickCount64() > deadline) return done();
    Sleep(50);
  }
  return true;
}

std::vector<std::string> ModuleChanges(const std::string& instanceId) {
  std::vector<std::string> changes;
  for (const auto& entry : winsim::DeviceJournal()) {
    if (strcasecmp(entry.instanceId.c_str(), instanceId.c_str()) != 0) continue;
    // An enable sets the global setting first, then the current profile's;
    // the latter is the one that acts.
    if (entry.call.find("global") != std::string::npos) continue;
    if (entry.change.rfind("disabled", 0) == 0 || entry.change.rfind("enabled", 0) == 0)
      changes.push_back(entry.change);
  }
  return changes;
}

}  // namespace scenario
