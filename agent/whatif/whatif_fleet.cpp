#include "whatif_fleet.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "agent/vaultcommon/HostText.h"

namespace fs = std::filesystem;

namespace whatif {

namespace {

const int kBadInput = 1;
const int kLockout = 2;

// One whatif run of its own: its arguments and what it gave.
struct Run : ChildRun {
  explicit Run(std::vector<std::string> a) { args = std::move(a); }
};

std::string ScratchFolder() {
  char path[4096];
  const char* tmp = getenv("TMPDIR");
  snprintf(path, sizeof(path), "%s/whatif-fleet-XXXXXX", tmp != nullptr && *tmp ? tmp : "/tmp");
  return mkdtemp(path) == nullptr ? std::string() : std::string(path);
}

pid_t Start(const std::string& self, const ChildRun& run, const std::string& out, const std::string& err) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int in = open("/dev/null", O_RDONLY);
  if (o < 0 || e < 0 || in < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || dup2(in, 0) < 0) _exit(127);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(self.c_str()));
  for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(self.c_str(), argv.data());
  _exit(127);
}

// Every run in its own process, `jobs` at once; false when the runs cannot be
// started at all.
template <typename R>
bool RunAll(const std::string& self, std::vector<R>& runs, unsigned jobs, std::string* why) {
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  std::string scratch = ScratchFolder();
  if (scratch.empty()) {
    *why = std::string("cannot make a scratch folder: ") + strerror(errno);
    return false;
  }
  std::map<pid_t, size_t> running;
  size_t next = 0;
  auto finish = [&](pid_t pid, int status) {
    size_t i = running[pid];
    running.erase(pid);
    ChildRun& r = runs[i];
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    hosttext::ReadFile(scratch + "/" + std::to_string(i) + ".out", &r.out);
    hosttext::ReadFile(scratch + "/" + std::to_string(i) + ".err", &r.err);
  };
  while (next < runs.size() || !running.empty()) {
    while (next < runs.size() && running.size() < jobs) {
      std::string base = scratch + "/" + std::to_string(next);
      pid_t pid = Start(self, runs[next], base + ".out", base + ".err");
      if (pid < 0) {
        runs[next].code = 128;
        runs[next].err = std::string("cannot start whatif: ") + strerror(errno);
      } else {
        running[pid] = next;
      }
      ++next;
    }
    if (running.empty()) continue;
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid < 0) break;
    if (running.count(pid)) finish(pid, status);
  }
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  return true;
}

// The reason a run gave on standard error, on one line, without the program's name.
std::string Reason(const ChildRun& r) {
  std::string reason;
  std::istringstream in(r.err);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("whatif: ", 0) == 0) line = line.substr(8);
    if (line.empty() || line.rfind("usage:", 0) == 0 || line.rfind("  ", 0) == 0) continue;
    reason += (reason.empty() ? "" : "; ") + line;
  }
  if (r.code != kBadInput && r.code != 0 && r.code != kLockout)
    reason += (reason.empty() ? "" : "; ") + std::string("whatif ended with code ") + std::to_string(r.code);
  return reason.empty() ? "bad input" : reason;
}

// A run's report, or false with the reason.
bool Report(const Run& r, rapidjson::Document* doc, std::string* why) {
  if (r.code != 0 && r.code != kLockout) {
    *why = Reason(r);
    return false;
  }
  doc->Parse(r.out.c_str(), r.out.size());
  if (doc->HasParseError() || !doc->IsObject()) {
    *why = "whatif wrote no report";
    return false;
  }
  return true;
}

std::string Pretty(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
  value.Accept(w);
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

std::string Str(const rapidjson::Value& v, const char* key) {
  auto it = v.FindMember(key);
  return it != v.MemberEnd() && it->value.IsString() ? it->value.GetString() : std::string();
}

const rapidjson::Value* Array(const rapidjson::Value& v, const char* key) {
  auto it = v.FindMember(key);
  return it != v.MemberEnd() && it->value.IsArray() ? &it->value : nullptr;
}

std::set<std::string> LockoutIds(const rapidjson::Value* list) {
  std::set<std::string> ids;
  if (list != nullptr)
    for (const auto& l : list->GetArray())
      if (l.IsObject()) ids.insert(Str(l, "instanceId"));
  return ids;
}

unsigned CountAction(const rapidjson::Value& machine, const char* action) {
  unsigned n = 0;
  if (const rapidjson::Value* devices = Array(machine, "devices"))
    for (const auto& d : devices->GetArray())
      if (d.IsObject() && Str(d, "action") == action) ++n;
  return n;
}

// A comparison's lockout risks of B that A has not.
std::set<std::string> NewRisks(const rapidjson::Value& entry) {
  auto it = entry.FindMember("lockoutRisk");
  if (it == entry.MemberEnd() || !it->value.IsObject()) return {};
  std::set<std::string> before = LockoutIds(Array(it->value, "before"));
  std::set<std::string> after = LockoutIds(Array(it->value, "after")), added;
  for (const std::string& id : after)
    if (!before.count(id)) added.insert(id);
  return added;
}

// The summary of a fleet document, from its machines alone (so a merge of
// shards sums the same way as the fleet), and the exit code it calls for.
int Summarize(rapidjson::Document& doc) {
  auto& a = doc.GetAllocator();
  unsigned machines = 0, bad = 0, atRisk = 0, risks = 0, disabled = 0, guarded = 0, changes = 0;
  bool comparison = false;
  for (const auto& m : doc["machines"].GetArray()) {
    ++machines;
    if (m.HasMember("error")) {
      ++bad;
      continue;
    }
    if (m.HasMember("changes")) {
      comparison = true;
      if (const rapidjson::Value* c = Array(m, "changes")) changes += c->Size();
      size_t added = NewRisks(m).size();
      risks += static_cast<unsigned>(added);
      atRisk += added ? 1 : 0;
      continue;
    }
    const rapidjson::Value* lockout = Array(m, "lockoutRisk");
    size_t n = lockout != nullptr ? lockout->Size() : 0;
    risks += static_cast<unsigned>(n);
    atRisk += n ? 1 : 0;
    disabled += CountAction(m, "disabled");
    guarded += CountAction(m, "guarded");
  }
  rapidjson::Value s(rapidjson::kObjectType);
  s.AddMember("machines", machines, a);
  s.AddMember("bad", bad, a);
  if (comparison) {
    s.AddMember("changes", changes, a);
    s.AddMember("withNewLockoutRisk", atRisk, a);
    s.AddMember("newLockoutRisks", risks, a);
  } else {
    s.AddMember("disabled", disabled, a);
    s.AddMember("guarded", guarded, a);
    s.AddMember("withLockoutRisk", atRisk, a);
    s.AddMember("lockoutRisks", risks, a);
  }
  doc.RemoveMember("summary");
  doc.AddMember("summary", s, a);
  return bad ? kBadInput : atRisk ? kLockout : 0;
}

unsigned Number(const rapidjson::Value& v, const char* key) {
  auto it = v.FindMember(key);
  return it != v.MemberEnd() && it->value.IsUint() ? it->value.GetUint() : 0;
}

void AddChanges(std::string& out, const rapidjson::Value& entry, const std::string& indent) {
  if (const rapidjson::Value* changes = Array(entry, "changes"))
    for (const auto& c : changes->GetArray())
      out += indent + Str(c, "instanceId") + ": " + (Str(c, "before").empty() ? "\"\"" : Str(c, "before")) + " -> " +
             (Str(c, "after").empty() ? "\"\"" : Str(c, "after")) + "\n";
  for (const std::string& id : NewRisks(entry)) out += indent + "NEW LOCKOUT RISK " + id + "\n";
}

std::string FleetText(const rapidjson::Document& doc) {
  std::string out;
  for (const auto& m : doc["machines"].GetArray()) {
    std::string name = Str(m, "machine");
    if (m.HasMember("error")) {
      out += name + ": error: " + Str(m, "error") + "\n";
    } else if (m.HasMember("changes")) {
      out += name + ": " + std::to_string(Array(m, "changes")->Size()) + " changed, " +
             std::to_string(NewRisks(m).size()) + " new lockout risks\n";
      AddChanges(out, m, "  ");
    } else {
      const rapidjson::Value* lockout = Array(m, "lockoutRisk");
      out += name + ": " + std::to_string(CountAction(m, "disabled")) + " disabled, " +
             std::to_string(CountAction(m, "guarded")) + " guarded, " +
             std::to_string(lockout != nullptr ? lockout->Size() : 0) + " lockout risks\n";
    }
  }
  const rapidjson::Value& s = doc["summary"];
  if (s.HasMember("changes"))
    out += "TOTAL: " + std::to_string(Number(s, "machines")) + " machines, " + std::to_string(Number(s, "bad")) +
           " bad, " + std::to_string(Number(s, "changes")) + " changes, " +
           std::to_string(Number(s, "withNewLockoutRisk")) + " with new lockout risks\n";
  else
    out += "TOTAL: " + std::to_string(Number(s, "machines")) + " machines, " + std::to_string(Number(s, "bad")) +
           " bad, " + std::to_string(Number(s, "disabled")) + " disabled, " + std::to_string(Number(s, "guarded")) +
           " guarded, " + std::to_string(Number(s, "withLockoutRisk")) + " with lockout risks\n";
  return out;
}

std::vector<std::string> RunArgs(const FleetOptions& o, const std::string& machine, const std::string& policy) {
  std::vector<std::string> args = {"--machine", machine, "--policy", policy, "--json"};
  for (const std::string& p : o.plugs) args.insert(args.end(), {"--plug", p});
  if (!o.session.empty()) args.insert(args.end(), {"--session", o.session});
  return args;
}

// The descriptions of the folder, sorted by name, this shard's slice only.
bool Machines(const FleetOptions& o, std::vector<std::string>* paths) {
  std::error_code ec;
  if (!fs::is_directory(o.machines, ec)) {
    fprintf(stderr, "whatif: --machines %s: not a folder\n", o.machines.c_str());
    return false;
  }
  std::vector<std::string> all;
  for (const auto& e : fs::directory_iterator(o.machines, ec))
    if (e.path().extension() == ".json" && !e.is_directory(ec)) all.push_back(e.path().filename().string());
  std::sort(all.begin(), all.end());
  size_t from = all.size() * (o.shard - 1) / o.shards, to = all.size() * o.shard / o.shards;
  for (size_t i = from; i < to; ++i) paths->push_back((fs::path(o.machines) / all[i]).string());
  return true;
}

rapidjson::Value ErrorEntry(const std::string& name, const std::string& why, rapidjson::Document::AllocatorType& a) {
  rapidjson::Value e(rapidjson::kObjectType);
  e.AddMember("machine", rapidjson::Value(name.c_str(), a), a);
  e.AddMember("error", rapidjson::Value(why.c_str(), a), a);
  return e;
}

// The difference of two reports of one machine.
rapidjson::Value Difference(const rapidjson::Document& before, const rapidjson::Document& after,
                            rapidjson::Document::AllocatorType& a) {
  std::vector<std::string> order;
  std::map<std::string, std::pair<std::string, std::string>> actions;
  for (int side = 0; side < 2; ++side)
    if (const rapidjson::Value* devices = Array(side == 0 ? before : after, "devices"))
      for (const auto& d : devices->GetArray()) {
        std::string id = Str(d, "instanceId");
        if (!actions.count(id)) order.push_back(id);
        (side == 0 ? actions[id].first : actions[id].second) = Str(d, "action");
      }
  std::sort(order.begin(), order.end());
  rapidjson::Value changes(rapidjson::kArrayType);
  for (const std::string& id : order) {
    const auto& p = actions[id];
    if (p.first == p.second) continue;
    rapidjson::Value c(rapidjson::kObjectType);
    c.AddMember("instanceId", rapidjson::Value(id.c_str(), a), a);
    c.AddMember("before", rapidjson::Value(p.first.c_str(), a), a);
    c.AddMember("after", rapidjson::Value(p.second.c_str(), a), a);
    changes.PushBack(c, a);
  }
  rapidjson::Value risk(rapidjson::kObjectType);
  for (int side = 0; side < 2; ++side) {
    rapidjson::Value list(rapidjson::kArrayType);
    if (const rapidjson::Value* l = Array(side == 0 ? before : after, "lockoutRisk")) list.CopyFrom(*l, a);
    risk.AddMember(rapidjson::StringRef(side == 0 ? "before" : "after"), list, a);
  }
  rapidjson::Value entry(rapidjson::kObjectType);
  entry.AddMember("changes", changes, a);
  entry.AddMember("lockoutRisk", risk, a);
  return entry;
}

}  // namespace

bool RunChildren(const std::string& self, std::vector<ChildRun>& runs, unsigned jobs, std::string* why) {
  return RunAll(self, runs, jobs, why);
}

std::string ChildReason(const ChildRun& run) { return Reason(run); }

int RunFleet(const FleetOptions& o) {
  std::vector<std::string> paths;
  if (!Machines(o, &paths)) return kBadInput;
  std::vector<Run> runs;
  for (const std::string& p : paths) runs.emplace_back(RunArgs(o, p, o.policy));
  if (!o.compare.empty())
    for (const std::string& p : paths) runs.emplace_back(RunArgs(o, p, o.compare));
  std::string why;
  if (!RunAll(o.self, runs, o.jobs, &why)) {
    fprintf(stderr, "whatif: %s\n", why.c_str());
    return kBadInput;
  }
  rapidjson::Document doc(rapidjson::kObjectType);
  auto& a = doc.GetAllocator();
  rapidjson::Value machines(rapidjson::kArrayType);
  for (size_t i = 0; i < paths.size(); ++i) {
    std::string name = fs::path(paths[i]).filename().string();
    rapidjson::Document report, other;
    if (!Report(runs[i], &report, &why) || (!o.compare.empty() && !Report(runs[i + paths.size()], &other, &why))) {
      machines.PushBack(ErrorEntry(name, why, a), a);
      continue;
    }
    rapidjson::Value entry(rapidjson::kObjectType);
    entry.AddMember("machine", rapidjson::Value(name.c_str(), a), a);
    if (!o.compare.empty()) {
      rapidjson::Value diff = Difference(report, other, a);
      for (auto& m : diff.GetObject()) entry.AddMember(m.name, m.value, a);
    } else {
      for (auto& m : report.GetObject()) {
        rapidjson::Value key(m.name, a), value(m.value, a);
        entry.AddMember(key, value, a);
      }
    }
    machines.PushBack(entry, a);
  }
  doc.AddMember("machines", machines, a);
  int code = Summarize(doc);
  std::string out = o.json ? Pretty(doc) : FleetText(doc);
  fwrite(out.data(), 1, out.size(), stdout);
  return code;
}

int RunCompare(const FleetOptions& o) {
  if (!o.machines.empty()) return RunFleet(o);
  std::vector<Run> runs = {Run(RunArgs(o, o.machine, o.policy)), Run(RunArgs(o, o.machine, o.compare))};
  std::string why;
  rapidjson::Document before, after;
  if (!RunAll(o.self, runs, o.jobs, &why) || !Report(runs[0], &before, &why) || !Report(runs[1], &after, &why)) {
    fprintf(stderr, "whatif: %s\n", why.c_str());
    return kBadInput;
  }
  rapidjson::Document doc;
  rapidjson::Value diff = Difference(before, after, doc.GetAllocator());
  doc.CopyFrom(diff, doc.GetAllocator());
  int code = NewRisks(doc).empty() ? 0 : kLockout;
  std::string out;
  if (o.json) {
    out = Pretty(doc);
  } else {
    out = "CHANGES (" + std::to_string(doc["changes"].Size()) + ", before -> after)\n";
    AddChanges(out, doc, "  ");
  }
  fwrite(out.data(), 1, out.size(), stdout);
  return code;
}

int RunMerge(const FleetOptions& o) {
  rapidjson::Document doc(rapidjson::kObjectType);
  auto& a = doc.GetAllocator();
  std::vector<rapidjson::Value> entries;
  for (const std::string& file : o.merge) {
    std::string text;
    rapidjson::Document shard;
    if (!hosttext::ReadFile(file, &text)) {
      fprintf(stderr, "whatif: --merge: cannot read %s\n", file.c_str());
      return kBadInput;
    }
    shard.Parse(text.c_str(), text.size());
    const rapidjson::Value* machines = shard.IsObject() ? Array(shard, "machines") : nullptr;
    if (shard.HasParseError() || machines == nullptr) {
      fprintf(stderr, "whatif: --merge: %s is not a fleet document\n", file.c_str());
      return kBadInput;
    }
    for (const auto& m : machines->GetArray()) entries.emplace_back(m, a);
  }
  // Shards are slices of one sorted list: in name order they are the whole.
  std::stable_sort(entries.begin(), entries.end(), [](const rapidjson::Value& x, const rapidjson::Value& y) {
    return Str(x, "machine") < Str(y, "machine");
  });
  rapidjson::Value machines(rapidjson::kArrayType);
  for (auto& e : entries) machines.PushBack(e, a);
  doc.AddMember("machines", machines, a);
  int code = Summarize(doc);
  std::string out = Pretty(doc);
  fwrite(out.data(), 1, out.size(), stdout);
  return code;
}

}  // namespace whatif
