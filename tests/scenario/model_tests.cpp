// Random event plans against the real plug-in on the laptop, checked after
// every settling pass against the rules of the model:
//   (a) a device the module disabled and has not enabled since is in its file;
//   (b) the module never disables an excluded device;
//   (c) a forbidden, controllable device (not excluded, disableable, not in
//       state 0, carrying no input device or hub, its installer behaving, no
//       change pending) is not running;
//   (d) the module never enables a device that someone else disabled;
//   (e) the module never disables a hub or a device that carries one or an
//       input device;
//   (f) while no device strategy applies, what the module disabled is
//       enabled again and leaves the file, unless it cannot be enabled;
//   (g) while the policy library cannot be asked, the module enables nothing
//       and no entry leaves its file;
//   (k) a present keyboard, mouse or other input device is running;
//   at uninstall, every device the module disabled is enabled again, and the
//   file is gone unless it lists what could not be enabled.
// Events: plugs, policy edits, refusing or restart-waiting class installers,
// parents switched by someone else, volumes in use, restarts, kills in the
// middle of a pass, uninstalls (also one under way when the agent starts),
// policies without a device strategy (or no policy file), a policy library
// that cannot be loaded at a start and comes back later, first plugs of
// devices the laptop has never seen.
// The laptop runs on winsim's virtual clock: a settling wait lets the module
// run its whole schedule in no wall time, and the checks read the machine
// while every module thread waits. Each segment of a plan (ended by a restart
// or a kill) runs in a child process (this program again); winsim mirrors the
// journal and the device configuration to files for the next segment.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "agent/vaultcommon/HostText.h"
#include "support/agent_sandbox.h"
#include "laptop_model.h"
#include "platform/winapi.h"
#include "support/test_support.h"
#include "winsim/control.h"
#include "winsim/devices_control.h"

extern char** environ;

namespace {

using model::Batch;
using model::Behaviour;
using model::Event;

const char kForbidFile[] = "config/ForbidDeviceInfo.dat";
// Longer than every pass, reset and late start an event can cause.
const DWORD kSettleMs = 5000;

// What is known of a device across segments.
struct Carried {
  bool moduleDisabled = false;  // the module disabled it and has not enabled it since
  bool userDisabled = false;    // disabled by someone else, never by the module since
  bool moduleClaim = false;     // in the module's file (or disabled by it) when last looked at
  bool moduleTouched = false;   // the module disabled it at some time
};

struct Mirrored {
  bool plugged = false, disabled = false, inUse = false;
};

std::string StateFile(const std::string& dir) { return dir + "/model-state.txt"; }
std::string JournalFile(const std::string& dir) { return dir + "/journal.txt"; }
std::string StatesFile(const std::string& dir) { return dir + "/states.txt"; }

// Rows "ID<tab>fields" of `in`, each read into a T by `read`.
template <class T, class Read>
std::map<std::string, T> LoadRows(std::istream& in, Read read) {
  std::map<std::string, T> rows;
  for (std::string line, id; std::getline(in, line);) {
    std::istringstream fields(line);
    T row;
    if (std::getline(fields, id, '\t') && read(fields, row)) rows[id] = row;
  }
  return rows;
}

// The flags and how far into the mirrored journal they are up to date.
std::map<std::string, Carried> LoadCarried(const std::string& dir, size_t* journalLines) {
  std::ifstream in(StateFile(dir));
  std::string line;
  *journalLines = std::getline(in, line) ? std::stoul(line) : 0;
  return LoadRows<Carried>(in, [](std::istream& f, Carried& c) {
    return bool(f >> c.moduleDisabled >> c.userDisabled >> c.moduleClaim >> c.moduleTouched);
  });
}

void SaveCarried(const std::string& dir, const std::map<std::string, Carried>& carried, size_t journalLines) {
  std::ofstream out(StateFile(dir), std::ios::trunc);
  out << journalLines << '\n';
  for (const auto& [id, c] : carried)
    out << id << '\t' << c.moduleDisabled << ' ' << c.userDisabled << ' ' << c.moduleClaim << ' ' << c.moduleTouched
        << '\n';
}

std::map<std::string, Mirrored> LoadMirrored(const std::string& dir) {
  std::ifstream in(StatesFile(dir));
  return LoadRows<Mirrored>(in,
                            [](std::istream& f, Mirrored& m) { return bool(f >> m.plugged >> m.disabled >> m.inUse); });
}

// The laptop's devices as the last segment left them: plugged or not, their
// configuration (disabled or not, applied as at a restart) and use.
std::string DevicesJson(const std::map<std::string, Mirrored>& states) {
  rapidjson::Document doc;
  std::string text = scenario::LaptopDescription();
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(text.c_str());
  auto& a = doc.GetAllocator();
  for (auto& d : doc["devices"].GetArray()) {
    auto it = states.find(d["id"].GetString());
    if (it == states.end()) continue;
    // Started unless its configuration says otherwise.
    uint32_t status =
        d.HasMember("status") ? static_cast<uint32_t>(std::stoul(d["status"].GetString(), nullptr, 16)) : 0;
    status = (status | DN_STARTED) & ~uint32_t(DN_HAS_PROBLEM);
    // Listed, so seen: a never-seen device stays known once plugged.
    for (const char* key : {"status", "problem", "present", "disabled", "inUse", "known"}) d.RemoveMember(key);
    d.AddMember("status", rapidjson::Value(status), a);
    d.AddMember("present", rapidjson::Value(it->second.plugged), a);
    d.AddMember("disabled", rapidjson::Value(it->second.disabled), a);
    d.AddMember("inUse", rapidjson::Value(it->second.inUse), a);
  }
  return hosttext::JsonText(doc["devices"]);
}

// One segment of a plan in this process.
class Segment {
 public:
  Segment(const std::string& dir, const model::Laptop& laptop, const model::PlanState& state, bool helper)
      : dir_(dir), laptop_(laptop), state_(state), carried_(LoadCarried(dir, &journalLines_)) {
    std::string sandbox = dir + "/sandbox";
    std::map<std::string, Mirrored> mirrored = LoadMirrored(dir);
    // The first segment starts from the description as it is.
    std::string devices = mirrored.empty() ? "" : DevicesJson(mirrored);
    if (mirrored.empty())
      for (const model::Device& d : laptop.Devices()) carried_[d.id].userDisabled = d.problem == 22;
    // What a killed segment did after its last save.
    Observe(false);
    agent_.reset(new scenario::AgentSandbox(sandbox, scenario::LaptopMachineJson(sandbox, devices)));
    ClaimListed(FileEntries());  // as the checks of a killed segment would have
    for (const auto& [id, behaviour] : state.installers) winsim::SetInstallerBehaviour(id, behaviour);
    winsim::MirrorDeviceChanges(JournalFile(dir), StatesFile(dir));
    // Errors only in the diagnostic log, which the checks do not read.
    agent_->SetAgentState(0, getenv("DM_MODEL_LOG") ? scenario::kLogEverything : scenario::kLogErrors);
    if (!getenv("DM_MODEL_LOG")) std::remove(agent_->Path("tpmlog/log_device.txt").c_str());
    WritePolicy();
    agent_->RunAs(helper);
  }

  void Start(Batch::Kind first) {
    bool uninstalling = first == Batch::UninstallAtStart;
    if (uninstalling) agent_->SetAgentState(scenario::kAgentUninstalling);
    std::string why;
    ASSERT_TRUE(agent_->StartModule(&why)) << why;
    if (first == Batch::OutageAtStart) {
      // Before the module's first look at the gate: no name of any agent
      // library resolves (0x211) until the library is back.
      winsim::FailCall("GetProcAddress", ERROR_PROC_NOT_FOUND, -1);
      state_.outage = true;
      keptByOutage_ = FileEntries();
    }
    Settle();
    if (uninstalling) {
      CheckUninstalled();
      return;
    }
    if (state_.outage) {
      ASSERT_GE(scenario::Count(agent_->DeviceLog(), "policy library unavailable"), 1u) << "no outage";
    } else if (!state_.noStrategy) {
      // The first pass writes the file, whatever it holds; no strategy or an
      // outage keeps the gate shut.
      ASSERT_TRUE(agent_->Exists(kForbidFile)) << "no first pass";
    }
    Check("start");
  }

  void Run(const Batch& batch) {
    if (batch.kind == Batch::Uninstall) {
      for (const auto& [id, behaviour] : state_.installers) winsim::SetInstallerBehaviour(id, Behaviour::Normal);
      state_.Apply(batch);
      uninstalling_ = true;
      agent_->SetAgentState(scenario::kAgentUninstalling);
      Settle();
      CheckUninstalled();
      return;
    }
    for (const Event& e : batch.events) {
      bool done = e.kind == Event::Installer ? winsim::SetInstallerBehaviour(e.target, e.behaviour)
                  : e.kind == Event::Plug    ? winsim::PlugDevice(e.target)
                  : e.kind == Event::Unplug  ? winsim::UnplugDevice(e.target)
                  : e.kind == Event::UserOff ? winsim::SetDeviceDisabled(e.target, true)
                  : e.kind == Event::UserOn  ? winsim::SetDeviceDisabled(e.target, false)
                  : e.kind == Event::InUse   ? winsim::SetDeviceInUse(e.target, e.behaviour != Behaviour::Normal)
                                             : true;
      ASSERT_TRUE(done) << e.Describe();
      if (e.kind == Event::LibraryBack) winsim::ClearFailures();
    }
    // A class installer that stops refusing is not an event the module
    // hears of: until the next policy change or start, nothing asks it to
    // try again (a plugged device that stays disabled raises no broadcast).
    for (const Event& e : batch.events)
      if (e.kind == Event::Installer && InstallerOf(e.target) != Behaviour::Normal) unheard_.insert(e.target);
    bool policyEdit = batch.events.back().kind == Event::Toggle || batch.events.back().kind == Event::Strategies;
    // Without strategies a toggle changes nothing the module is asked about.
    if (batch.events.back().kind == Event::Strategies || (policyEdit && !state_.noStrategy)) unheard_.clear();
    state_.Apply(batch);
    if (!state_.outage) keptByOutage_.clear();
    // The kill comes at a call of the pass the last event leads to, or, when
    // the pass never makes that call, once it is over.
    if (batch.kind == Batch::Kill) winsim::KillAtCall(batch.killCall, batch.killAt);
    if (policyEdit) WritePolicy();
    Settle();
    if (batch.kind == Batch::Kill) {
      fflush(stdout);
      kill(getpid(), SIGKILL);
    }
    Check(batch.Describe());
  }

  // The machine goes down with the agent: changes waiting for a restart apply.
  void Finish() {
    winsim::RebootMachine();
    Observe(true);
    SaveCarried(dir_, carried_, journalLines_);
  }

 private:
  void WritePolicy() {
    if (state_.policyGone)
      std::remove(agent_->Path("config/policy.json").c_str());
    else
      agent_->WritePolicy(model::PolicyText(laptop_, state_));
  }

  // Lets the module run every pass the last events call for, on its own
  // schedule (virtual time: no wall time passes), then waits until all its
  // threads wait, so that what the checks read stands still.
  void Settle() {
    Sleep(kSettleMs);
    // Late starts and their broadcasts may still be due: the module reacts
    // to them within the second pause.
    ASSERT_TRUE(winsim::WaitForDeviceIdle(60000)) << "the machine's own work does not end";
    Sleep(kSettleMs);
    ASSERT_TRUE(winsim::WaitForQuietMachine()) << "the module's threads do not come to rest";
  }

  // Reads the state changes from the mirrored journal; `check` for the
  // changes made in this process.
  void Observe(bool check) {
    std::ifstream in(JournalFile(dir_));
    std::string line;
    for (size_t n = 0; std::getline(in, line); ++n) {
      if (n < journalLines_) continue;
      journalLines_ = n + 1;
      std::istringstream fields(line);
      std::string id, change, call;
      if (!std::getline(fields, id, '\t') || !std::getline(fields, change, '\t') || !std::getline(fields, call))
        continue;
      Carried& c = carried_[id];
      if (call == "SetDeviceDisabled") {
        c.userDisabled = change.rfind("disabled", 0) == 0;
        c.moduleClaim = c.moduleClaim || c.moduleDisabled;
        c.moduleDisabled = false;  // someone else's now
        continue;
      }
      // The module's changes act on the current profile; its enables also
      // set the global setting first, which is not the one that acts.
      if (call.find("DIF_PROPERTYCHANGE") == std::string::npos || call.find("global") != std::string::npos) continue;
      const model::Device* d = laptop_.Find(id);
      if (change.rfind("disabled", 0) == 0) {
        if (check) {
          EXPECT_FALSE(d != nullptr && model::Laptop::Excluded(*d)) << "(b) disabled an excluded device: " << id;
          EXPECT_FALSE(d != nullptr && laptop_.Guarded(id))
              << "(e) disabled a device that carries an input device or hub: " << id;
        }
        c.moduleDisabled = c.moduleClaim = c.moduleTouched = true;
        c.userDisabled = false;
      } else if (change.rfind("enabled", 0) == 0) {
        if (check) {
          EXPECT_FALSE(c.userDisabled && !c.moduleClaim) << "(d) enabled a device someone else disabled: " << id;
          EXPECT_FALSE(state_.outage && !uninstalling_) << "(g) enabled while the policy library is down: " << id;
        }
        c.moduleDisabled = c.moduleClaim = c.userDisabled = false;
      }
    }
  }

  bool Forbidden(const model::Device& d) const {
    return !state_.noStrategy && state_.forbidden.count(laptop_.StrategyIds(d).back()) != 0;
  }
  Behaviour InstallerOf(const std::string& id) const {
    return state_.installers.count(id) ? state_.installers.at(id) : Behaviour::Normal;
  }
  // In use at or below: its disable waits for a restart.
  bool InUseBelow(const std::string& id) const {
    for (const std::string& below : laptop_.Subtree(id)) {
      winsim::DeviceState s = winsim::GetDeviceState(below);
      if (s.inUse && s.present) return true;
    }
    return false;
  }

  // (unreadable: ...) when the file is not a list of devices.
  std::set<std::string> FileEntries() const {
    std::set<std::string> ids;
    if (!agent_->Exists(kForbidFile)) return ids;
    rapidjson::Document doc;
    std::string text = agent_->Read(kForbidFile);
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsArray()) return {"(unreadable: " + text + ")"};
    for (const auto& e : doc.GetArray())
      if (e.IsObject() && e.HasMember("deviceName_10") && e["deviceName_10"].IsString())
        ids.insert(e["deviceName_10"].GetString());
    return ids;
  }

  // Listed in the file, a device is the module's: nothing tells it a later
  // disable by someone else from its own.
  void ClaimListed(const std::set<std::string>& file) {
    for (const model::Device& d : laptop_.Devices())
      carried_[d.id].moduleClaim = file.count(d.id) != 0 || carried_[d.id].moduleDisabled;
  }

  std::vector<std::string> Violations() {
    Observe(true);
    std::vector<std::string> found;
    std::set<std::string> file = FileEntries();
    ClaimListed(file);
    // Whether the module can change a device now.
    auto canChange = [&](const std::string& id, const winsim::DeviceState& s) {
      return InstallerOf(id) == Behaviour::Normal && !unheard_.count(id) && !s.pendingReboot && !InUseBelow(id) &&
             !state_.outage;
    };
    // The enables without a strategy go in rounds, as the uninstall's do:
    // while a listed device does not run (absent, refusing, waiting for a
    // restart), the file is written only when the rounds give up on it.
    bool enablesPending = false;
    for (const std::string& id : file) {
      winsim::DeviceState s = winsim::GetDeviceState(id);
      enablesPending = enablesPending || !s.started || !canChange(id, s);
    }
    for (const model::Device& d : laptop_.Devices()) {
      Carried& c = carried_[d.id];
      winsim::DeviceState s = winsim::GetDeviceState(d.id);
      if (c.moduleDisabled && !file.count(d.id)) found.push_back("(a) disabled but not in the file: " + d.id);
      bool changeable = canChange(d.id, s);
      bool controllable = !model::Laptop::Excluded(d) && !laptop_.Guarded(d.id) && (s.status & DN_DISABLEABLE) &&
                          !(s.status & DN_NO_SHOW_IN_DM) && changeable;
      if (Forbidden(d) && s.present && controllable && s.started) found.push_back("(c) forbidden but running: " + d.id);
      bool allowedBack = state_.noStrategy && s.present && changeable && !c.userDisabled;
      if (allowedBack && c.moduleDisabled) found.push_back("(f) still disabled without a strategy: " + d.id);
      if (allowedBack && file.count(d.id) && !enablesPending)
        found.push_back("(f) still listed without a strategy: " + d.id);
      if (d.Input() && s.present && !s.started && !s.disabled) found.push_back("(k) input device lost: " + d.id);
    }
    for (const std::string& id : keptByOutage_)
      if (!file.count(id)) found.push_back("(g) left the file while the policy library is down: " + id);
    return found;
  }

  void Check(const std::string& after) {
    for (const std::string& v : Violations()) ADD_FAILURE() << v << "\n  after: " << after;
  }

  void CheckUninstalled() {
    Observe(true);
    std::set<std::string> file = FileEntries();
    for (const auto& [id, c] : carried_)
      EXPECT_FALSE(c.moduleDisabled && !file.count(id))
          << "disabled after the uninstall and not in the kept file: " << id;
    // The file stays only for devices of the module's: what could not be
    // enabled, or not be seen to run again (off the machine at the time).
    for (const std::string& id : file)
      EXPECT_TRUE(carried_[id].moduleTouched) << "the file outlived the uninstall with " << id;
  }

  std::string dir_;
  const model::Laptop& laptop_;
  model::PlanState state_;
  size_t journalLines_ = 0;
  std::map<std::string, Carried> carried_;
  std::set<std::string> unheard_;       // installers that gave up refusing since the last pass for everyone
  std::set<std::string> keptByOutage_;  // the file's entries when the outage began
  bool uninstalling_ = false;
  std::unique_ptr<scenario::AgentSandbox> agent_;
};

int EnvInt(const char* name, int fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? atoi(text) : fallback;
}

// Runs a plan, one child process per segment: DM_MODEL_SEED and
// DM_MODEL_EVENTS (default 2500) choose it.
void RunPlan(int defaultSeed) {
  uint64_t seed = static_cast<uint64_t>(EnvInt("DM_MODEL_SEED", defaultSeed));
  int events = EnvInt("DM_MODEL_EVENTS", 2500);
  model::Laptop laptop(scenario::LaptopDescription());
  auto plan = model::MakePlan(laptop, seed, events);
  std::string dir = dmtest::MakeTempDir("model");
  std::string reproduce = "reproduce: DM_MODEL_SEED=" + std::to_string(seed) +
                          " DM_MODEL_EVENTS=" + std::to_string(events) +
                          " dm_model_tests --gtest_filter=Model.RandomPlanA";
  printf("model plan: seed %llu, %d events, %zu segments\n", static_cast<unsigned long long>(seed), events,
         plan.size());
  // A segment ends with the module's threads still running (they never
  // stop): the leak checker's stop-the-world at exit then fails now and then,
  // and what it would report is the module's live state, not a leak.
  std::string sanitizer = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
  setenv("ASAN_OPTIONS", (sanitizer + (sanitizer.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
  for (size_t segment = 0; segment < plan.size(); ++segment) {
    std::string child = dir + "|" + std::to_string(seed) + "|" + std::to_string(events) + "|" + std::to_string(segment);
    setenv("DM_MODEL_CHILD", child.c_str(), 1);  // the child's only; this process has run its ModelChild test
    std::string self = "/proc/self/exe", filter = "--gtest_filter=ModelChild.RunSegment";
    char* argv[] = {&self[0], &filter[0], nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    bool killed = plan[segment].back().kind == Batch::Kill;
    bool ok =
        killed ? WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    ASSERT_TRUE(ok) << "segment " << segment << " of " << plan.size() << " failed (see its output above); "
                    << reproduce;
  }
}

}  // namespace

// The child's side: one segment of the plan named by DM_MODEL_CHILD (ctest
// leaves it out: it runs only inside a Model test).
TEST(ModelChild, RunSegment) {
  const char* segmentText = getenv("DM_MODEL_CHILD");
  ASSERT_NE(segmentText, nullptr) << "runs as a child of the Model tests, which set DM_MODEL_CHILD";
  std::vector<std::string> parts;
  std::istringstream in(segmentText);
  for (std::string part; std::getline(in, part, '|');) parts.push_back(part);
  ASSERT_EQ(parts.size(), 4u);
  uint64_t seed = std::stoull(parts[1]);
  size_t segment = std::stoul(parts[3]);
  model::Laptop laptop(scenario::LaptopDescription());
  auto plan = model::MakePlan(laptop, seed, std::stoi(parts[2]));
  ASSERT_LT(segment, plan.size());
  model::PlanState state;
  for (size_t s = 0; s < segment; ++s)
    for (const Batch& b : plan[s]) state.Apply(b);
  state.outage = false;  // a run of its own: the library loads unless this segment starts without it

  // Every other run of the agent as its helper process.
  const std::vector<Batch>& batches = plan[segment];
  Segment run(parts[0], laptop, state, segment % 2 == 0);
  Batch::Kind first = batches.front().kind;
  bool atStart = first == Batch::UninstallAtStart || first == Batch::OutageAtStart;
  printf("segment %zu%s\n", segment, atStart ? (": " + batches.front().Describe()).c_str() : "");
  run.Start(first);
  for (size_t i = atStart ? 1 : 0; i < batches.size() && !::testing::Test::HasFailure(); ++i) {
    printf("segment %zu batch %zu: %s\n", segment, i, batches[i].Describe().c_str());
    run.Run(batches[i]);
  }
  run.Finish();
}

// 10,000 events in all, in four plans the test runner can run side by side.
TEST(Model, RandomPlanA) { RunPlan(11); }
TEST(Model, RandomPlanB) { RunPlan(23); }
TEST(Model, RandomPlanC) { RunPlan(35); }
TEST(Model, RandomPlanD) { RunPlan(47); }
