// Scenario playback over the simulated machine: each step acts as the world
// would (plug a device, an administrator changing the policy, the installer
// starting an uninstall) while the module runs; afterwards the timeline of
// what really happened is printed.
#include "host_scenario.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/vaultcommon/HostText.h"
#include "common/util/HostIdentity.h"
#include "host_timeline.h"
#include "winsim/devices_control.h"

namespace {

const uint32_t kAgentUninstalling = 268435456;  // agent state (setting 7) while uninstalling
const unsigned kDefaultSettleMs = 2000;
const unsigned kMaxWaitMs = 10 * 60 * 1000;

enum class Action { Note, Policy, Plug, Unplug, AgentState, Installer, Wait };

struct Step {
  Action action = Action::Note;
  std::string note;
  std::string argument;    // instance ID, policy source, installer target
  std::string policyText;  // what config\policy.json becomes
  uint32_t agentState = 0;
  winsim::InstallerBehaviour behaviour = winsim::InstallerBehaviour::Normal;
  std::string behaviourName;
  unsigned waitMs = 0;
  std::string until;  // wait ends early when the timeline shows this text
};

struct Scenario {
  std::string description;
  std::vector<Step> steps;
  unsigned settleMs = kDefaultSettleMs;
};

using hosttext::ReadFile;

bool WriteFile(const std::string& path, const std::string& text, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  // Written beside and renamed, so a reader never sees half a file.
  std::string temporary = path + ".scenario-tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    *error = "cannot replace " + path + ": " + ec.message();
    return false;
  }
  return true;
}

bool ParseStep(const rapidjson::Value& v, const std::string& baseDir, Step* step, std::string* error) {
  if (!v.IsObject()) {
    *error = "must be an object";
    return false;
  }
  int actions = 0;
  for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
    std::string key = it->name.GetString();
    const rapidjson::Value& value = it->value;
    if (key == "note") {
      if (!value.IsString()) {
        *error = "\"note\" must be a text";
        return false;
      }
      step->note = value.GetString();
      continue;
    }
    if (key == "until") {
      if (!value.IsString() || value.GetStringLength() == 0) {
        *error = "\"until\" must be a non-empty text";
        return false;
      }
      step->until = value.GetString();
      continue;
    }
    ++actions;
    if (key == "plug" || key == "unplug") {
      if (!value.IsString() || value.GetStringLength() == 0) {
        *error = "\"" + key + "\" needs a device instance ID";
        return false;
      }
      step->action = key == "plug" ? Action::Plug : Action::Unplug;
      step->argument = value.GetString();
    } else if (key == "policy") {
      step->action = Action::Policy;
      if (value.IsString()) {
        step->argument = value.GetString();
        std::string path =
            std::filesystem::path(step->argument).is_absolute() ? step->argument : baseDir + step->argument;
        if (!ReadFile(path, &step->policyText)) {
          *error = "cannot read the policy file " + path;
          return false;
        }
      } else if (value.IsObject()) {
        step->argument = "inline policy";
        step->policyText = hosttext::JsonText(value);
      } else {
        *error = "\"policy\" must be a file name or a policy object";
        return false;
      }
    } else if (key == "agentState") {
      step->action = Action::AgentState;
      if (value.IsString() && std::string(value.GetString()) == "uninstalling") {
        step->agentState = kAgentUninstalling;
      } else if (value.IsString() && std::string(value.GetString()) == "running") {
        step->agentState = 0;
      } else if (value.IsUint()) {
        step->agentState = value.GetUint();
      } else {
        *error = "\"agentState\" must be \"uninstalling\", \"running\" or a 32-bit number";
        return false;
      }
    } else if (key == "installer") {
      step->action = Action::Installer;
      if (!value.IsObject() || !value.HasMember("target") || !value["target"].IsString() ||
          !value.HasMember("behaviour") || !value["behaviour"].IsString()) {
        *error = "\"installer\" needs {\"target\": ID or class, \"behaviour\": \"normal\"|\"refuse\"|\"restart\"}";
        return false;
      }
      step->argument = value["target"].GetString();
      step->behaviourName = value["behaviour"].GetString();
      if (step->behaviourName == "normal") {
        step->behaviour = winsim::InstallerBehaviour::Normal;
      } else if (step->behaviourName == "refuse") {
        step->behaviour = winsim::InstallerBehaviour::Refuse;
      } else if (step->behaviourName == "restart") {
        step->behaviour = winsim::InstallerBehaviour::Restart;
      } else {
        *error = "unknown installer behaviour \"" + step->behaviourName + "\"";
        return false;
      }
    } else if (key == "wait") {
      step->action = Action::Wait;
      if (!value.IsUint() || value.GetUint() > kMaxWaitMs) {
        *error = "\"wait\" must be milliseconds (at most 600000)";
        return false;
      }
      step->waitMs = value.GetUint();
    } else {
      *error = "unknown member \"" + key + "\"";
      return false;
    }
  }
  if (actions > 1) {
    *error = "one action per step";
    return false;
  }
  if (actions == 0 && step->note.empty()) {
    *error = "names no action";
    return false;
  }
  if (!step->until.empty() && step->action != Action::Wait) {
    *error = "\"until\" belongs to a \"wait\" step";
    return false;
  }
  return true;
}

bool LoadScenario(const std::string& path, Scenario* scenario, std::string* error) {
  std::string text;
  if (!ReadFile(path, &text)) {
    *error = "cannot read it";
    return false;
  }
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(text.c_str(), text.size());
  if (doc.HasParseError()) {
    *error = std::string("not JSON: ") + rapidjson::GetParseError_En(doc.GetParseError()) + " at offset " +
             std::to_string(doc.GetErrorOffset());
    return false;
  }
  if (!doc.IsObject() || !doc.HasMember("steps") || !doc["steps"].IsArray()) {
    *error = "must be an object with a \"steps\" array";
    return false;
  }
  std::string baseDir = std::filesystem::path(path).parent_path().string();
  if (!baseDir.empty()) baseDir += "/";
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    std::string key = it->name.GetString();
    if (key == "description" && it->value.IsString()) {
      scenario->description = it->value.GetString();
    } else if (key == "settle" && it->value.IsUint() && it->value.GetUint() <= kMaxWaitMs) {
      scenario->settleMs = it->value.GetUint();
    } else if (key != "steps") {
      *error = "unknown or malformed member \"" + key + "\"";
      return false;
    }
  }
  size_t index = 0;
  for (const auto& item : doc["steps"].GetArray()) {
    Step step;
    if (!ParseStep(item, baseDir, &step, error)) {
      *error = "step " + std::to_string(index + 1) + ": " + *error;
      return false;
    }
    scenario->steps.push_back(step);
    ++index;
  }
  return true;
}

// Sets the agent's shared state (setting 7 of config\agent.json), keeping the
// rest of the file.
bool SetAgentState(const std::string& installHostDir, uint32_t state, std::string* error) {
  std::string path = installHostDir + "config/agent.json";
  std::string text;
  rapidjson::Document doc;
  if (ReadFile(path, &text)) doc.Parse<rapidjson::kParseCommentsFlag>(text.c_str(), text.size());
  if (!doc.IsObject()) doc.SetObject();
  auto& alloc = doc.GetAllocator();
  if (!doc.HasMember("settings") || !doc["settings"].IsObject())
    doc.AddMember("settings", rapidjson::Value(rapidjson::kObjectType), alloc);
  rapidjson::Value& settings = doc["settings"];
  settings.RemoveMember("7");
  settings.AddMember("7", rapidjson::Value(state), alloc);
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  return WriteFile(path, std::string(buffer.GetString(), buffer.GetSize()) + "\n", error);
}

// Applies one step; returns the text of the input for the timeline.
std::string Apply(const Step& step, const std::string& installHostDir) {
  std::string error;
  switch (step.action) {
    case Action::Note: return "note: " + step.note;
    case Action::Plug:
      return winsim::PlugDevice(step.argument) ? "plug " + step.argument
                                               : "plug " + step.argument + " FAILED: no such device";
    case Action::Unplug:
      return winsim::UnplugDevice(step.argument) ? "unplug " + step.argument
                                                 : "unplug " + step.argument + " FAILED: no such device";
    case Action::Policy:
      if (!WriteFile(installHostDir + "config/policy.json", step.policyText, &error))
        return "policy " + step.argument + " FAILED: " + error;
      return "policy <- " + step.argument;
    case Action::AgentState: {
      std::string what =
          step.agentState == kAgentUninstalling ? "uninstalling (268435456)" : std::to_string(step.agentState);
      if (!SetAgentState(installHostDir, step.agentState, &error)) return "agent state FAILED: " + error;
      return "agent state <- " + what;
    }
    case Action::Installer:
      return winsim::SetInstallerBehaviour(step.argument, step.behaviour)
                 ? "class installer of " + step.argument + " <- " + step.behaviourName
                 : "class installer of " + step.argument + " FAILED: no such device or class";
    case Action::Wait:
      return step.until.empty() ? "wait " + std::to_string(step.waitMs) + " ms"
                                : "wait up to " + std::to_string(step.waitMs) + " ms for \"" + step.until + "\"";
  }
  return std::string();
}

// Waits, reading the traces every 100 ms; a wait with "until" ends as soon as
// a new trace line contains its text.
void Wait(HostTimeline& timeline, unsigned ms, const std::string& until, size_t from) {
  int64_t end = timeline.NowMs() + ms;
  while (!HostStopRequested()) {
    timeline.Poll();
    if (!until.empty() && timeline.Contains(from, until)) {
      timeline.Input("... \"" + until + "\" seen");
      return;
    }
    int64_t left = end - timeline.NowMs();
    if (left <= 0) {
      if (!until.empty()) timeline.Input("... \"" + until + "\" NOT seen in time");
      return;
    }
    HostWaitForStop(static_cast<unsigned>(left < 100 ? left : 100));
  }
}

}  // namespace

namespace {
// Where the module's log ended before this run's module started: what is
// before it is an earlier run's in the same sandbox.
uint64_t g_logStart = 0;
}  // namespace

bool HostCheckScenario(const HostOptions& options, std::string* error) {
  if (options.scenarioPath.empty()) return true;
  std::error_code ec;
  std::string log = winsim::HostPath(GetInstallDir()) + "/tpmlog/log_device.txt";
  uintmax_t size = std::filesystem::file_size(log, ec);
  g_logStart = ec ? 0 : static_cast<uint64_t>(size);
  Scenario scenario;
  if (LoadScenario(options.scenarioPath, &scenario, error)) return true;
  *error = "scenario " + options.scenarioPath + ": " + *error;
  return false;
}

void HostPlayScenario(const HostOptions& options) {
  if (options.scenarioPath.empty()) return;
  Scenario scenario;
  std::string error;
  if (!LoadScenario(options.scenarioPath, &scenario, &error)) {
    fprintf(stderr, "%s: scenario %s: %s\n", options.self.c_str(), options.scenarioPath.c_str(), error.c_str());
    return;
  }
  std::string installDir = GetInstallDir();
  std::string installHostDir = winsim::HostPath(installDir);
  if (!installHostDir.empty() && installHostDir.back() != '/') installHostDir += '/';
  printf("host.scenario = %s (%zu steps)\n", options.scenarioPath.c_str(), scenario.steps.size());
  if (!scenario.description.empty()) printf("scenario.description = %s\n", scenario.description.c_str());
  printf("scenario.install_dir = %s (%s)\n", installDir.c_str(), installHostDir.c_str());

  HostTimeline timeline(installHostDir, g_logStart);
  // A wait's "until" looks at what happened since the last action, which may
  // have shown its effect before the wait began.
  size_t sinceAction = 0;
  for (const Step& step : scenario.steps) {
    if (HostStopRequested()) break;
    size_t before = timeline.Poll();
    if (step.action != Action::Wait && step.action != Action::Note) sinceAction = before;
    std::string input = Apply(step, installHostDir);
    if (step.action != Action::Note && !step.note.empty()) input += "  (" + step.note + ")";
    timeline.Input(input);
    printf("scenario %+7.2fs: %s\n", static_cast<double>(timeline.NowMs()) / 1000.0, input.c_str());
    if (step.action == Action::Wait) Wait(timeline, step.waitMs, step.until, sinceAction);
  }
  Wait(timeline, scenario.settleMs, std::string(), 0);
  timeline.Poll();
  timeline.Print(stdout);
}
