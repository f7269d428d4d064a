// Random event plans against the real plug-in on the laptop, checked after
// every settling pass against the rules of the model:
//   (a) a device the module disabled and has not enabled since is in its
//       file, unless its re-enable failed (then another list holds it);
//   (b) the module never disables an excluded device;
//   (c) a forbidden, controllable device (not excluded, disableable, not in
//       state 0, its installer behaving, no change pending) is not running;
//   (d) the module never enables a device that someone else disabled;
//   at uninstall, every device the module disabled is enabled again and the
//   file is gone; unless the module lost track of the device, which the rules
//   allow in two ways: a refusing class installer makes an enable look done,
//   and a disk drive pulled out while still in the inventory reads as
//   uncontrollable and leaves the list at the next pass.
// The laptop runs on winsim's virtual clock: each settling wait lets the
// module run its whole schedule in no wall time, and the checks read the
// machine while every module thread waits.
// A restart of the agent is a new process: the driver runs each segment of a
// plan in a child process (this program again), which takes over the device
// states and what it observed from the previous one through a state file.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "agent_sandbox.h"
#include "laptop_model.h"
#include "support/test_support.h"
#include "winsim/devices_control.h"
#include "platform/winapi.h"
#include "winsim/control.h"
#include "winsim/setupapi.h"

extern char** environ;

namespace {

using model::Batch;
using model::Behaviour;
using model::Event;

const char kForbidFile[] = "config/ForbidDeviceInfo.dat";
// Longer than every pass, reset and late start an event can cause.
const DWORD kSettleMs = 5000;
const char kDiskDrives[] = "4d36e967-e325-11ce-bfc1-08002be10318";

// What a segment hands to the next: the machine's device states and what was
// observed about the module's actions.
struct Carried {
  ULONG status = 0, problem = 0;
  bool present = false, disabled = false;
  bool moduleDisabled = false;  // the module disabled it and has not enabled it since
  bool orphan = false;          // disabled by the module, its re-enable failed
  bool lost = false;            // the module no longer knows it disabled it
  bool userDisabled = false;    // disabled by someone else, never by the module
};

std::string StateFile(const std::string& dir) { return dir + "/model-state.txt"; }

std::map<std::string, Carried> LoadCarried(const std::string& dir) {
  std::map<std::string, Carried> carried;
  std::ifstream in(StateFile(dir));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id;
    Carried c;
    if (std::getline(fields, id, '\t') && fields >> c.status >> c.problem >> c.present >> c.disabled >>
                                              c.moduleDisabled >> c.orphan >> c.lost >> c.userDisabled)
      carried[id] = c;
  }
  return carried;
}

void SaveCarried(const std::string& dir, const std::map<std::string, Carried>& carried) {
  std::ofstream out(StateFile(dir), std::ios::trunc);
  for (const auto& [id, c] : carried)
    out << id << '\t' << c.status << ' ' << c.problem << ' ' << c.present << ' ' << c.disabled << ' '
        << c.moduleDisabled << ' ' << c.orphan << ' ' << c.lost << ' ' << c.userDisabled << '\n';
}

// The laptop's devices as the last segment left them.
std::string DevicesJson(const std::map<std::string, Carried>& carried) {
  rapidjson::Document doc;
  std::string text = scenario::LaptopDescription();
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(text.c_str());
  auto& a = doc.GetAllocator();
  for (auto& d : doc["devices"].GetArray()) {
    auto it = carried.find(d["id"].GetString());
    if (it == carried.end()) continue;
    for (const char* key : {"status", "problem", "present", "disabled"}) d.RemoveMember(key);
    d.AddMember("status", rapidjson::Value(static_cast<unsigned>(it->second.status)), a);
    d.AddMember("problem", rapidjson::Value(static_cast<unsigned>(it->second.problem)), a);
    d.AddMember("present", rapidjson::Value(it->second.present), a);
    d.AddMember("disabled", rapidjson::Value(it->second.disabled), a);
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc["devices"].Accept(writer);
  return buffer.GetString();
}

winsim::InstallerBehaviour ToWinsim(Behaviour b) {
  return b == Behaviour::Normal   ? winsim::InstallerBehaviour::Normal
         : b == Behaviour::Refuse ? winsim::InstallerBehaviour::Refuse
                                  : winsim::InstallerBehaviour::Restart;
}

// One segment of a plan in this process.
class Segment {
 public:
  Segment(const std::string& dir, const model::Laptop& laptop, const model::PlanState& state, bool helper)
      : dir_(dir), laptop_(laptop), state_(state), carried_(LoadCarried(dir)) {
    std::string sandbox = dir + "/sandbox";
    // The first segment starts from the description as it is.
    std::string devices = carried_.empty() ? "" : DevicesJson(carried_);
    if (carried_.empty())
      for (const model::Device& d : laptop.Devices()) carried_[d.id].userDisabled = d.problem == 22;
    agent_.reset(new scenario::AgentSandbox(sandbox, scenario::LaptopMachineJson(sandbox, devices)));
    for (const auto& [id, behaviour] : state.installers) winsim::SetInstallerBehaviour(id, ToWinsim(behaviour));
    // Installed again after an uninstall; errors only in the diagnostic log,
    // which the checks do not read.
    agent_->SetAgentState(0, getenv("DM_MODEL_LOG") ? scenario::kLogEverything : scenario::kLogErrors);
    if (!getenv("DM_MODEL_LOG")) std::remove(agent_->Path("tpmlog/log_device.txt").c_str());
    agent_->WritePolicy(model::PolicyText(laptop, state));
    agent_->RunAs(helper);
  }

  void Start() {
    std::string why;
    ASSERT_TRUE(agent_->StartModule(&why)) << why;
    Settle();
    // The first pass writes the file, whatever it holds.
    ASSERT_TRUE(agent_->Exists(kForbidFile)) << "no first pass";
    Check("start");
    TakeInventory();
  }

  void Run(const Batch& batch) {
    if (batch.kind == Batch::Uninstall) {
      for (const auto& [id, behaviour] : state_.installers) winsim::SetInstallerBehaviour(id, ToWinsim(Behaviour::Normal));
      state_.Apply(batch);
      agent_->SetAgentState(scenario::kAgentUninstalling);
      Settle();
      Observe();
      for (const auto& [id, c] : carried_)
        EXPECT_FALSE(c.moduleDisabled && !c.lost) << "still disabled after the uninstall: " << id;
      EXPECT_FALSE(agent_->Exists(kForbidFile)) << "the file outlived the uninstall";
      return;
    }
    for (const Event& e : batch.events) {
      bool done = e.kind == Event::Installer ? winsim::SetInstallerBehaviour(e.target, ToWinsim(e.behaviour))
                  : e.kind == Event::Plug    ? winsim::PlugDevice(e.target)
                  : e.kind == Event::Unplug  ? winsim::UnplugDevice(e.target)
                                             : true;
      ASSERT_TRUE(done) << e.Describe();
    }
    state_.Apply(batch);
    const Event& wake = batch.events.back();
    if (wake.kind == Event::Toggle) agent_->WritePolicy(model::PolicyText(laptop_, state_));
    Settle();
    if (getenv("DM_MODEL_WATCH")) {
      winsim::DeviceState st = winsim::GetDeviceState(getenv("DM_MODEL_WATCH"));
      FILE* f = fopen(agent_->Path("tpmlog/log_device.txt").c_str(), "a");
      fprintf(f, "MODEL after %s: status %08x problem %u present %d pending %d\n", batch.Describe().c_str(), (unsigned)st.status, (unsigned)st.problem, st.present, st.pendingReboot);
      fclose(f);
    }
    Check(batch.Describe());
    if (wake.kind == Event::Plug) TakeInventory();
  }

  // The machine goes down with the agent: changes waiting for a restart apply.
  void Finish() {
    winsim::RebootMachine();
    Observe();
    for (auto& [id, c] : carried_) {
      winsim::DeviceState s = winsim::GetDeviceState(id);
      c.status = s.status;
      c.problem = s.problem;
      c.present = s.present;
      c.disabled = s.disabled;
    }
    SaveCarried(dir_, carried_);
  }

 private:
  // Lets the module run every pass the last events call for, on its own
  // schedule (virtual time: no wall time passes), then waits until all its
  // threads wait, so that what the checks read stands still.
  void Settle() {
    Sleep(kSettleMs);
    ASSERT_TRUE(winsim::WaitForQuietMachine()) << "the module's threads do not come to rest";
  }

  // The devices of the module's last inventory: the present ones at its start
  // and after each announced arrival.
  void TakeInventory() {
    std::vector<std::string> present = winsim::ListDevices(true);
    inventory_.clear();
    inventory_.insert(present.begin(), present.end());
  }

  // Reads the module's state changes from the device journal.
  void Observe() {
    std::vector<winsim::DeviceJournalEntry> journal = winsim::DeviceJournal();
    for (; seen_ < journal.size(); ++seen_) {
      const auto& e = journal[seen_];
      if (e.call.find("DIF_PROPERTYCHANGE") == std::string::npos || e.call.find("global") != std::string::npos) continue;
      Carried& c = carried_[e.instanceId];
      const model::Device* d = laptop_.Find(e.instanceId);
      if (e.change.rfind("disabled", 0) == 0) {
        EXPECT_FALSE(d != nullptr && model::Laptop::Excluded(*d)) << "(b) disabled an excluded device: " << e.instanceId;
        c.moduleDisabled = true;
        c.userDisabled = false;
      } else if (e.change.rfind("enabled", 0) == 0) {
        EXPECT_FALSE(c.userDisabled) << "(d) enabled a device someone else disabled: " << e.instanceId;
        c.moduleDisabled = c.orphan = c.lost = false;
      }
    }
  }

  bool Forbidden(const model::Device& d) const {
    std::vector<std::string> ids = laptop_.StrategyIds(d);
    return state_.forbidden.count(ids.back()) != 0;
  }
  Behaviour InstallerOf(const std::string& id) const {
    auto it = state_.installers.find(id);
    return it == state_.installers.end() ? Behaviour::Normal : it->second;
  }

  std::set<std::string> FileEntries() const {
    std::set<std::string> ids;
    rapidjson::Document doc;
    std::string text = agent_->Read(kForbidFile);
    doc.Parse(text.c_str());
    if (doc.HasParseError() || !doc.IsArray()) return {"(unreadable: " + text + ")"};
    for (const auto& e : doc.GetArray())
      if (e.IsObject() && e.HasMember("deviceName_10") && e["deviceName_10"].IsString())
        ids.insert(e["deviceName_10"].GetString());
    return ids;
  }

  std::vector<std::string> Violations() {
    Observe();
    std::vector<std::string> found;
    std::set<std::string> file = FileEntries();
    for (const model::Device& d : laptop_.Devices()) {
      Carried& c = carried_[d.id];
      winsim::DeviceState s = winsim::GetDeviceState(d.id);
      Behaviour installer = InstallerOf(d.id);
      bool forbidden = Forbidden(d);
      // A pass met the device allowed while its installer misbehaved: a
      // failed (or, refused, a seemingly done) re-enable.
      if (c.moduleDisabled && s.present && !forbidden && installer != Behaviour::Normal) {
        c.orphan = true;
        c.lost |= installer == Behaviour::Refuse;
      }
      if (c.moduleDisabled && !s.present && inventory_.count(d.id) && d.classGuid == kDiskDrives)
        c.orphan = c.lost = true;
      if (c.moduleDisabled && !c.orphan && !file.count(d.id)) found.push_back("(a) disabled but not in the file: " + d.id);
      bool controllable = !model::Laptop::Excluded(d) && (s.status & DN_DISABLEABLE) && !(s.status & DN_NO_SHOW_IN_DM) &&
                          installer == Behaviour::Normal && !s.pendingReboot;
      if (forbidden && s.present && controllable && s.started) found.push_back("(c) forbidden but running: " + d.id);
    }
    return found;
  }

  void Check(const std::string& after) {
    for (const std::string& v : Violations()) ADD_FAILURE() << v << "\n  after: " << after;
  }

  std::string dir_;
  const model::Laptop& laptop_;
  model::PlanState state_;
  std::map<std::string, Carried> carried_;
  std::unique_ptr<scenario::AgentSandbox> agent_;
  size_t seen_ = 0;
  std::set<std::string> inventory_;
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
  printf("model plan: seed %llu, %d events, %zu segments\n", static_cast<unsigned long long>(seed), events, plan.size());
  for (size_t segment = 0; segment < plan.size(); ++segment) {
    std::string child = dir + "|" + std::to_string(seed) + "|" + std::to_string(events) + "|" + std::to_string(segment);
    setenv("DM_MODEL_CHILD", child.c_str(), 1);  // the child's only; this process has run its ModelChild test
    std::string self = "/proc/self/exe", filter = "--gtest_filter=ModelChild.RunSegment";
    char* argv[] = {&self[0], &filter[0], nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "segment " << segment << " of " << plan.size() << " failed (see its output above); " << reproduce;
  }
}

}  // namespace

// The child's side: one segment of the plan named by DM_MODEL_CHILD.
TEST(ModelChild, RunSegment) {
  const char* spec = getenv("DM_MODEL_CHILD");
  if (spec == nullptr) GTEST_SKIP() << "runs as a child of the Model tests";
  std::vector<std::string> parts;
  std::istringstream in(spec);
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

  // Every other run of the agent as its helper process.
  Segment run(parts[0], laptop, state, segment % 2 == 0);
  run.Start();
  for (size_t i = 0; i < plan[segment].size() && !::testing::Test::HasFailure(); ++i) {
    printf("segment %zu batch %zu: %s\n", segment, i, plan[segment][i].Describe().c_str());
    run.Run(plan[segment][i]);
  }
  run.Finish();
}

// 10,000 events in all, in four plans the test runner can run side by side.
TEST(Model, RandomPlanA) { RunPlan(11); }
TEST(Model, RandomPlanB) { RunPlan(23); }
TEST(Model, RandomPlanC) { RunPlan(35); }
TEST(Model, RandomPlanD) { RunPlan(47); }
