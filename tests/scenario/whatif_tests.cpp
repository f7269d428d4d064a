// whatif and hwctl capture as programs: a capture loads back into the same
// tree; whatif's disabled set is the one vaulthelper really disables when the
// same policy and plugs are played; bad input ends with 1 and a reason.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const std::string kExamples = DM_EXAMPLES_DIR;
const std::string kPolicy = kExamples + "/policies/device-control.json";
const std::string kLaptop = kExamples + "/machines/laptop.json";
const std::string kWorkstation = DM_WORKSTATION_MACHINE;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Outcome Execute(const std::string& dir, const std::string& program, const std::vector<std::string>& args,
                const std::string& env = "") {
  std::string command = env + " " + Quote(std::string(DM_BIN_DIR) + "/" + program);
  for (const std::string& a : args) command += " " + Quote(a);
  command += " >" + Quote(dir + "/out") + " 2>" + Quote(dir + "/err") + " </dev/null";
  int status = std::system(command.c_str());
  Outcome r;
  // A crash is never an exit code of 0, 1 or 2.
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  r.out = dmtest::ReadTextFile(dir + "/out");
  r.err = dmtest::ReadTextFile(dir + "/err");
  return r;
}

// A JSON string of `text`.
std::string Quoted(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
  return buffer.GetString();
}

rapidjson::Document Parse(const std::string& text) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseCommentsFlag | rapidjson::kParseTrailingCommasFlag>(text.c_str(), text.size());
  return doc;
}

std::string Text(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  value.Accept(writer);
  return buffer.GetString();
}

// A policy forbidding every device, written into `dir`; its path.
std::string ForbidAllPolicy(const std::string& dir) {
  dmtest::WriteTextFile(dir + "/forbid-all.json", R"({"strategies": [{"id": 1, "type": "0x10030001", "sessions": "*",
      "conditions": {"deviceId_10": "*"}, "action": {"processMethod_10": "forbid"}}]})");
  return dir + "/forbid-all.json";
}

// The description on the virtual clock, so that vaulthelper plays in no time.
std::string VirtualCopy(const std::string& machinePath, const std::string& dir) {
  rapidjson::Document doc = Parse(dmtest::ReadTextFile(machinePath));
  doc.RemoveMember("clock");
  doc.AddMember("clock", "virtual", doc.GetAllocator());
  dmtest::WriteTextFile(dir + "/machine.json", Text(doc));
  return dir + "/machine.json";
}

// What vaulthelper disabled: its closing list of device states.
std::set<std::string> HelperDisables(const std::string& out) {
  std::set<std::string> ids;
  std::istringstream lines(out.substr(std::min(out.size(), out.find("DEVICES AT THE END"))));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string state, id;
    words >> state >> id;
    if (state == "disabled" || (state == "running" && line.find("(change waits for a restart)") != std::string::npos))
      ids.insert(id);
  }
  return ids;
}

// `lost`, when given, receives the kinds of what LOCKOUT RISK lists.
// `disabled`, when given, receives what both disabled.
void ExpectAgreement(const std::string& machinePath, const std::vector<std::string>& plugs,
                     const std::string& policy = kPolicy, std::multiset<std::string>* lost = nullptr,
                     std::set<std::string>* disabled = nullptr) {
  std::string dir = dmtest::MakeTempDir("whatif");
  std::string machine = VirtualCopy(machinePath, dir);
  std::vector<std::string> args = {"--machine", machine, "--policy", policy, "--json"};
  std::string steps = "{\"steps\": [{\"policy\": " + Quoted(policy) + "}, {\"wait\": 5000}";
  for (const std::string& id : plugs) {
    args.insert(args.end(), {"--plug", id});
    steps += ", {\"plug\": " + Quoted(id) + "}";
  }
  dmtest::WriteTextFile(dir + "/scenario.json", steps + ", {\"wait\": 8000}], \"settle\": 3000}");

  Outcome whatif = Execute(dir, "whatif", args);
  ASSERT_TRUE(whatif.code == 0 || whatif.code == 2) << whatif.err;
  rapidjson::Document report = Parse(whatif.out);
  ASSERT_TRUE(report.IsObject() && report["devices"].IsArray()) << whatif.out;
  std::set<std::string> said;
  for (const auto& d : report["devices"].GetArray())
    if (std::string(d["action"].GetString()) == "disabled") said.insert(d["instanceId"].GetString());
  // The exit code says whether a lockout is reported, and every entry names
  // what it goes with.
  EXPECT_EQ(whatif.code == 2, report["lockoutRisk"].Size() > 0);
  for (const auto& l : report["lockoutRisk"].GetArray()) {
    EXPECT_TRUE(said.count(l["lostThrough"].GetString()));
    if (lost != nullptr) lost->insert(l["kind"].GetString());
  }

  Outcome helper =
      Execute(dir, "vaulthelper", {"--machine", machine, "--scenario", dir + "/scenario.json", "--seconds", "0"},
              "WINSIM_SANDBOX=" + Quote(dir + "/sandbox"));
  ASSERT_EQ(helper.code, 0) << helper.err;
  EXPECT_FALSE(said.empty());
  EXPECT_EQ(said, HelperDisables(helper.out)) << helper.out;
  if (disabled != nullptr) *disabled = said;
}

// The rows of `hwctl find` (header first) cut at the header's columns.
std::vector<std::vector<std::string>> FindRows(const std::string& out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  std::vector<size_t> starts;
  for (std::string line; std::getline(lines, line);) {
    if (starts.empty()) {
      for (const char* head : {"INSTANCE ID", "HARDWARE ID", "DESCRIPTION", "CLASS GUID", "STATUS", "STATE"})
        starts.push_back(line.find(head));
    } else if (line.find(" device record(s); result ") != std::string::npos) {
      break;
    }
    std::vector<std::string> cells;
    for (size_t c = 0; c < starts.size(); ++c) {
      size_t end = c + 1 < starts.size() ? starts[c + 1] : std::string::npos;
      std::string cell = starts[c] < line.size() ? line.substr(starts[c], end - starts[c]) : "";
      cell.erase(cell.find_last_not_of(' ') + 1);
      cells.push_back(cell);
    }
    rows.push_back(cells);
  }
  return rows;
}

// The number `hwctl find` says it reported.
size_t RecordCount(const std::string& out) {
  size_t at = out.rfind(" device record(s); result ");
  if (at == std::string::npos) return 0;
  size_t from = out.rfind('\n', at);
  return std::stoul(out.substr(from == std::string::npos ? 0 : from + 1, at));
}

// On the laptop and the workstation, each with the first two of its unplugged
// sticks plugged (on the laptop the SanDisk stick and the phone), whatif
// disables what vaulthelper disables. A policy that forbids every device
// loses no keyboard, mouse, HID device or hub on either, in whatif's report
// and in what vaulthelper really does.
TEST(Whatif, AgreesWithTheModuleAndForbiddingEverythingLosesNoInputDeviceOrHub) {
  const std::string forbidAll = ForbidAllPolicy(dmtest::MakeTempDir("whatif-all"));
  for (const std::string& machine : {kLaptop, kWorkstation}) {
    rapidjson::Document doc = Parse(dmtest::ReadTextFile(machine));
    std::vector<std::string> plugs;
    for (const auto& d : doc["devices"].GetArray())
      if (d.HasMember("present") && !d["present"].GetBool() && std::string(d["class"].GetString()) == "USB" &&
          plugs.size() < 2)
        plugs.push_back(d["id"].GetString());
    ASSERT_EQ(plugs.size(), 2u);
    ExpectAgreement(machine, plugs);
    std::multiset<std::string> lost;
    ExpectAgreement(machine, {}, forbidAll, &lost);
    for (const char* kind : {"keyboard", "mouse", "HID device", "USB hub"})
      EXPECT_EQ(lost.count(kind), 0u) << machine << ": a " << kind << " is lost";
  }
}

// A device names itself: a disk whose friendly name holds a line feed, ahead
// of two ordinary USB disks, shifts no record. All three are disabled, by the
// module and by whatif alike, and hwctl shows each in its own row with the
// line feed as a space.
TEST(Whatif, ALineFeedInANameShiftsNoLaterDevice) {
  std::string dir = dmtest::MakeTempDir("whatif-names");
  rapidjson::Document doc = Parse(dmtest::ReadTextFile(kLaptop));
  auto& a = doc.GetAllocator();
  std::vector<std::string> disks;
  for (char i : {'0', '1', '2'}) {
    std::string text = R"([{"id": "USB\\VID_1F75&PID_091#\\EVIL000#", "class": "USB", "name": "USB Mass Storage Device",
        "hw": ["USB\\VID_1F75&PID_091#"], "compat": ["USB\\Class_08"], "status": "0x0180600A",
        "parent": "USB\\ROOT_HUB30\\4&2B6C9A1E&0&0"}, {"id": "USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH&REV_1.00\\EVIL000#&0",
        "class": "DiskDrive", "friendlyName": "@", "hw": ["USBSTOR\\DiskGeneric_Flash", "GenDisk"],
        "status": "0x0180600A", "parent": "USB\\VID_1F75&PID_091#\\EVIL000#"}])";
    std::replace(text.begin(), text.end(), '#', i);
    text.replace(text.find('@'), 1, i == '0' ? "Evil Disk\\nUSB Device" : "Generic Flash USB Device");
    disks.push_back(std::string("USBSTOR\\DISK&VEN_GENERIC&PROD_FLASH&REV_1.00\\EVIL000") + i + "&0");
    rapidjson::Document devices;
    devices.Parse(text.c_str());
    ASSERT_TRUE(devices.IsArray()) << text;
    for (auto& d : devices.GetArray()) doc["devices"].PushBack(rapidjson::Value(d, a), a);
  }
  const std::string machine = dir + "/hostile.json";
  dmtest::WriteTextFile(machine, Text(doc));

  std::set<std::string> disabled;
  ExpectAgreement(machine, {}, kPolicy, nullptr, &disabled);
  for (const std::string& disk : disks) EXPECT_TRUE(disabled.count(disk)) << disk << " not disabled";

  Outcome find = Execute(dir, "hwctl", {"--machine", machine, "find", "*"});
  ASSERT_EQ(find.code, 0) << find.err;
  std::vector<std::vector<std::string>> rows = FindRows(find.out);
  ASSERT_GT(rows.size(), 1u);
  EXPECT_EQ(RecordCount(find.out), rows.size() - 1);
  std::map<std::string, std::string> names;
  for (size_t r = 1; r < rows.size(); ++r) {
    EXPECT_EQ(rows[r][4].compare(0, 2, "0x"), 0) << "row " << r << ": " << rows[r][0];
    EXPECT_EQ(rows[r][3].size(), 36u) << "row " << r << ": " << rows[r][0];
    names[rows[r][0]] = rows[r][2];
  }
  EXPECT_EQ(names[disks[0]], "Evil Disk USB Device");
  EXPECT_EQ(names[disks[1]], "Generic Flash USB Device");
  EXPECT_EQ(names[disks[2]], "Generic Flash USB Device");
}

// A 10,000-device workstation with its six sticks plugged: every present
// device is listed, and whatif disables the disk of each stick that runs.
TEST(Whatif, TenThousandDevicesAreAllListed) {
  std::string dir = dmtest::MakeTempDir("whatif-10k");
  const std::string machine = dir + "/workstation.json";
  const std::string generate = "python3 " + Quote(kExamples + "/machines/gen_workstation.py") + " " + Quote(machine) +
                               " --devices 10000 >/dev/null";
  ASSERT_EQ(std::system(generate.c_str()), 0);
  rapidjson::Document doc = Parse(dmtest::ReadTextFile(machine));
  size_t present = 0, running = 0;
  std::vector<std::string> args = {"--machine", machine, "--policy", kPolicy, "--json"};
  for (const auto& d : doc["devices"].GetArray()) {
    if (!d.HasMember("present") || d["present"].GetBool()) {
      ++present;
    } else if (std::string(d["class"].GetString()) == "USB") {
      args.push_back("--plug");
      args.push_back(d["id"].GetString());
      // A stick someone disabled brings no disk.
      if (std::string(d["status"].GetString()) != "0x01806400") ++running;
    }
  }
  ASSERT_EQ(args.size(), 5u + 2 * 6);

  Outcome find = Execute(dir, "hwctl", {"--machine", machine, "find", "*"});
  ASSERT_EQ(find.code, 0) << find.err;
  EXPECT_EQ(RecordCount(find.out), present);

  Outcome whatif = Execute(dir, "whatif", args);
  ASSERT_TRUE(whatif.code == 0 || whatif.code == 2) << whatif.err;
  rapidjson::Document report = Parse(whatif.out);
  ASSERT_TRUE(report.IsObject() && report["devices"].IsArray()) << whatif.out.substr(0, 500);
  size_t disks = 0;
  for (const auto& d : report["devices"].GetArray())
    if (std::string(d["action"].GetString()) == "disabled" &&
        std::string(d["instanceId"].GetString()).compare(0, 8, "USBSTOR\\") == 0)
      ++disks;
  EXPECT_GT(running, 0u);
  EXPECT_EQ(disks, running);
}

TEST(Whatif, BadInputEndsWithOneAndAReason) {
  std::string dir = dmtest::MakeTempDir("whatif-bad");
  const std::string& laptop = kLaptop;
  dmtest::WriteTextFile(dir + "/broken.json", "{\"devices\": [");
  dmtest::WriteTextFile(dir + "/misspelt.json", "{\"devices\": [{\"id\": \"X\\\\1\", \"startDelai\": 5}]}");
  dmtest::WriteTextFile(dir + "/policy.json", "{\"strategies\": [{\"id\": 1, \"type\": \"nonsense\"}]}");
  dmtest::WriteTextFile(dir + "/deep.json",
                        "{\"devices\": " + std::string(100000, '[') + std::string(100000, ']') + "}");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--machine", laptop},
      {"--machine", dir + "/none.json", "--policy", kPolicy},
      {"--machine", dir + "/broken.json", "--policy", kPolicy},
      {"--machine", dir + "/misspelt.json", "--policy", kPolicy},
      {"--machine", dir + "/deep.json", "--policy", kPolicy},
      {"--machine", laptop, "--policy", dir + "/policy.json"},
      {"--machine", laptop, "--policy", kPolicy, "--plug", "USB\\NO_SUCH\\1"},
      {"--machine", laptop, "--policy", kPolicy, "--session", "one"},
      {"--machine", laptop, "--policy", kPolicy, "--frobnicate"},
  };
  for (const auto& args : cases) {
    Outcome r = Execute(dir, "whatif", args);
    std::string shown;
    for (const std::string& a : args) shown += a + " ";
    EXPECT_EQ(r.code, 1) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find("whatif: "), std::string::npos) << shown;
  }
}

// A report without what differs from one run to the next (record IDs and
// times), as one comparable text.
void StripRunStamps(rapidjson::Value& v) {
  if (v.IsObject()) {
    v.RemoveMember("logId");
    v.RemoveMember("logTime");
    for (auto& m : v.GetObject()) StripRunStamps(m.value);
  } else if (v.IsArray()) {
    for (auto& item : v.GetArray()) StripRunStamps(item);
  }
}

std::string Stable(const rapidjson::Value& value) {
  rapidjson::Document copy;
  copy.CopyFrom(value, copy.GetAllocator());
  StripRunStamps(copy);
  return Text(copy);
}

// The laptop with every setup class given by its GUID in braces and upper
// case, as a description may write it: the same machine to whatif.
std::string BracedLaptop() {
  rapidjson::Document doc = Parse(dmtest::ReadTextFile(kLaptop));
  auto& a = doc.GetAllocator();
  std::map<std::string, std::string> guids;
  for (const auto& c : doc["classes"].GetArray()) guids[c["name"].GetString()] = c["guid"].GetString();
  for (auto& d : doc["devices"].GetArray()) {
    if (!d.HasMember("class")) continue;
    std::string guid = "{" + guids[d["class"].GetString()] + "}";
    for (char& c : guid) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    d.RemoveMember("class");
    d.AddMember("classGuid", rapidjson::Value(guid.c_str(), a), a);
  }
  return Text(doc);
}

// A fleet's per-machine results are the single runs'; shards merged are the
// whole fleet; a bad machine is reported among the good ones and makes it 1.
// Two laptops (one with braced GUIDs), the minimal machine, a broken capture
// and a file that is no capture.
std::string MakeFleet(const std::string& dir) {
  std::string fleet = dir + "/fleet";
  std::filesystem::create_directories(fleet);
  std::filesystem::copy_file(kLaptop, fleet + "/a-laptop.json");
  std::filesystem::copy_file(kExamples + "/machines/minimal.json", fleet + "/c-minimal.json");
  dmtest::WriteTextFile(fleet + "/b-braced.json", BracedLaptop());
  dmtest::WriteTextFile(fleet + "/d-broken.json", "{\"devices\": [");
  dmtest::WriteTextFile(fleet + "/notes.txt", "not a machine");
  return fleet;
}

TEST(WhatifFleet, AgreesWithSingleRunsAndShardsMergeToTheWhole) {
  std::string dir = dmtest::MakeTempDir("whatif-fleet"), fleet = MakeFleet(dir);

  Outcome all = Execute(dir, "whatif", {"--policy", kPolicy, "--machines", fleet, "--jobs", "2", "--json"});
  EXPECT_EQ(all.code, 1) << all.err;
  rapidjson::Document doc = Parse(all.out);
  ASSERT_TRUE(doc.IsObject() && doc["machines"].IsArray()) << all.out;
  ASSERT_EQ(doc["machines"].Size(), 4u);
  const char* const names[] = {"a-laptop.json", "b-braced.json", "c-minimal.json", "d-broken.json"};
  for (unsigned i = 0; i < 4; ++i) {
    const auto& m = doc["machines"][i];
    EXPECT_EQ(std::string(m["machine"].GetString()), names[i]);
    Outcome single = Execute(dir, "whatif", {"--machine", fleet + "/" + names[i], "--policy", kPolicy, "--json"});
    if (i == 3) {
      EXPECT_EQ(single.code, 1);
      EXPECT_TRUE(m.HasMember("error") &&
                  std::string(m["error"].GetString()).find("not a machine") != std::string::npos);
      continue;
    }
    rapidjson::Document one = Parse(single.out);
    rapidjson::Value entry;
    entry.CopyFrom(m, one.GetAllocator());
    entry.EraseMember("machine");
    EXPECT_EQ(Stable(entry), Stable(one)) << names[i];
  }
  // Class GUIDs in braces and upper case name the same classes: the braced
  // laptop loses what the laptop loses.
  EXPECT_EQ(Stable(doc["machines"][1]["lockoutRisk"]), Stable(doc["machines"][0]["lockoutRisk"]));
  EXPECT_GT(doc["machines"][0]["lockoutRisk"].Size(), 0u);

  std::vector<std::string> merge = {"--merge"};
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    Outcome part = Execute(dir, "whatif", {"--policy", kPolicy, "--machines", fleet, "--shard", shard, "--json"});
    std::string file = dir + "/shard" + std::to_string(merge.size()) + ".json";
    dmtest::WriteTextFile(file, part.out);
    merge.push_back(file);
  }
  std::reverse(merge.begin() + 1, merge.end());  // the order of the files does not matter
  Outcome merged = Execute(dir, "whatif", merge);
  EXPECT_EQ(merged.code, 1);
  EXPECT_EQ(Stable(Parse(merged.out)), Stable(doc));

  Outcome text = Execute(dir, "whatif", {"--policy", kPolicy, "--machines", fleet});
  EXPECT_NE(text.out.find("d-broken.json: error: "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("TOTAL: 4 machines, 1 bad"), std::string::npos) << text.out;
}

// The README's GNU parallel command, as written there, merges to the whole fleet.
TEST(WhatifFleet, GnuParallelShardsMergeToTheWhole) {
  if (std::system("command -v parallel >/dev/null 2>&1") != 0) GTEST_SKIP() << "GNU parallel missing: scripts/setup";
  std::string dir = dmtest::MakeTempDir("whatif-parallel"), fleet = MakeFleet(dir);
  Outcome all = Execute(dir, "whatif", {"--policy", kPolicy, "--machines", fleet, "--json"});
  std::string command =
      "cd " + Quote(dir) + " && PATH=" + Quote(DM_BIN_DIR) + ":\"$PATH\" parallel -j4 " +
      Quote("whatif --policy " + kPolicy + " --machines " + fleet + " --shard {}/4 --json > shard{}.json") +
      " ::: 1 2 3 4; PATH=" + Quote(DM_BIN_DIR) + ":\"$PATH\" whatif --merge shard*.json >merged 2>&1";
  int status = std::system(command.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "a broken capture makes the merge 1";
  EXPECT_EQ(Stable(Parse(dmtest::ReadTextFile(dir + "/merged"))), Stable(Parse(all.out)));
}

// A comparison lists exactly the devices whose action two single runs
// differ on, and ends with 2 only when the second policy loses more.
TEST(WhatifCompare, IsTheDifferenceOfTwoSingleRuns) {
  std::string dir = dmtest::MakeTempDir("whatif-compare");
  const std::string& laptop = kLaptop;
  std::string allowed = kExamples + "/policies/usb-allowed.json", forbidAll = ForbidAllPolicy(dir);
  const std::string stick = "USB\\VID_0781&PID_5567\\4C530001230101108154";
  auto actions = [&](const std::string& policy) {
    Outcome r = Execute(dir, "whatif", {"--machine", laptop, "--policy", policy, "--plug", stick, "--json"});
    std::map<std::string, std::string> out;
    rapidjson::Document doc = Parse(r.out);
    for (const auto& d : doc["devices"].GetArray()) out[d["instanceId"].GetString()] = d["action"].GetString();
    return out;
  };
  for (const auto& pair : std::vector<std::pair<std::string, std::string>>{{allowed, kPolicy}, {kPolicy, forbidAll}}) {
    Outcome r =
        Execute(dir, "whatif",
                {"--machine", laptop, "--policy", pair.first, "--compare", pair.second, "--plug", stick, "--json"});
    rapidjson::Document doc = Parse(r.out);
    ASSERT_TRUE(doc.IsObject() && doc["changes"].IsArray()) << r.err;
    std::map<std::string, std::string> a = actions(pair.first), b = actions(pair.second);
    std::map<std::string, std::pair<std::string, std::string>> expected, got;
    for (const auto& x : a) expected[x.first].first = x.second;
    for (const auto& x : b) expected[x.first].second = x.second;
    for (auto it = expected.begin(); it != expected.end();)
      it = it->second.first == it->second.second ? expected.erase(it) : std::next(it);
    for (const auto& c : doc["changes"].GetArray())
      got[c["instanceId"].GetString()] = {c["before"].GetString(), c["after"].GetString()};
    EXPECT_EQ(got, expected) << pair.second;
    EXPECT_FALSE(got.empty());
    std::set<std::string> before, after;
    for (const auto& l : doc["lockoutRisk"]["before"].GetArray()) before.insert(l["instanceId"].GetString());
    for (const auto& l : doc["lockoutRisk"]["after"].GetArray()) after.insert(l["instanceId"].GetString());
    bool more = std::any_of(after.begin(), after.end(), [&](const std::string& id) { return !before.count(id); });
    EXPECT_EQ(r.code, more ? 2 : 0) << pair.second;
  }
}

// One plain policy per lint code; the example policy has no finding.
TEST(WhatifLint, EachTrapIsFoundAndTheExampleIsClean) {
  std::string dir = dmtest::MakeTempDir("whatif-lint");
  const std::string& laptop = kLaptop;
  const std::string disks = R"({"deviceName_10": "USB storage", "deviceType_10": "4d36e967-e325-11ce-bfc1-08002be10318",
      "deviceInstance_10": "USBSTOR\\*", "deviceId_10": "USB-STORAGE"})";
  const std::string allDisks =
      R"({"deviceName_10": "All disks", "deviceType_10": "4d36e967-e325-11ce-bfc1-08002be10318",
      "deviceInstance_10": "*", "deviceId_10": "ALL-DISKS"})";
  auto policy = [&](const std::string& ids, const std::string& action, const std::string& definitions) {
    return R"({"strategies": [{"id": 5, "type": "0x10030001", "sessions": "*", "conditions": {"deviceId_10": )" + ids +
           R"(}, "action": )" + action + R"(}], "sysParams": {"0x20060001": [)" + definitions + "]}}";
  };
  const std::string forbid = R"({"processMethod_10": "forbid"})";
  struct Case {
    std::string code, text;
    int exit;
  };
  const std::vector<Case> cases = {
      {"overridden-verdict", policy(R"(["USB-STORAGE", "ALL-DISKS-NOT"])", forbid, disks + "," + allDisks), 2},
      {"action-value", policy(R"(["USB-STORAGE"])", R"({"processMethod_10": "Forbid"})", disks), 2},
      {"action-value",
       policy(R"(["USB-STORAGE"])", R"({"processMethod_10": "forbid", "logType_10": "AuditLog"})", disks), 2},
      {"no-definition", policy(R"(["USB-STORAGE", "NO-SUCH-ID"])", forbid, disks), 0},
      {"reaches-guarded", policy(R"(["*"])", forbid, disks), 0},
      {"unused-definition", policy(R"(["USB-STORAGE"])", forbid, disks + "," + allDisks), 2},
  };
  for (const Case& c : cases) {
    dmtest::WriteTextFile(dir + "/p.json", c.text);
    Outcome r = Execute(dir, "whatif", {"--policy", dir + "/p.json", "--lint", "--machine", laptop, "--json"});
    rapidjson::Document doc = Parse(r.out);
    ASSERT_TRUE(doc.IsObject() && doc["findings"].IsArray()) << c.code << ": " << r.err;
    bool found = false;
    std::string devices;  // those the findings of this code name
    for (const auto& f : doc["findings"].GetArray())
      if (std::string(f["code"].GetString()) == c.code) found = true, devices += Stable(f["devices"]);
    EXPECT_TRUE(found) << c.code << ": " << r.out;
    // The trap is named on the devices it catches: the SanDisk disk among them.
    EXPECT_TRUE(c.code != "overridden-verdict" || devices.find("VEN_SANDISK") != std::string::npos) << r.out;
    EXPECT_EQ(r.code, c.exit) << c.code << ": " << r.out;
  }
  // Swapping the two definitions forbids the disk: no trap.
  dmtest::WriteTextFile(dir + "/p.json", policy(R"(["USB-STORAGE"])", forbid, allDisks + "," + disks));
  Outcome swapped = Execute(dir, "whatif", {"--policy", dir + "/p.json", "--lint", "--machine", laptop});
  EXPECT_EQ(swapped.out.find("overridden-verdict"), std::string::npos) << swapped.out;

  Outcome example = Execute(dir, "whatif", {"--policy", kPolicy, "--lint", "--machine", laptop});
  EXPECT_EQ(example.code, 0) << example.out << example.err;
  // Not even a warning: the Bluetooth network goes with its radio by design.
  EXPECT_EQ(example.out, "") << example.err;
  EXPECT_EQ(Execute(dir, "whatif", {"--policy", dir + "/none.json", "--lint"}).code, 1);
}

// The tools' first minutes: help is help, and a host that cannot play what
// it was given says who it is and ends with an error.
TEST(FirstMinutes, HelpAndBadInputOfTheTools) {
  std::string dir = dmtest::MakeTempDir("first");
  Outcome help = Execute(dir, "hwctl", {"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("commands: capture"), std::string::npos) << help.out;
  Outcome unknown = Execute(dir, "hwctl", {"--machine", kExamples + "/machines/minimal.json", "frobnicate"});
  EXPECT_NE(unknown.code, 0);
  EXPECT_NE(unknown.err.find("unknown command \"frobnicate\""), std::string::npos) << unknown.err;
  for (const char* host : {"cpfhost", "vaulthelper"}) {
    Outcome missing =
        Execute(dir, host, {"--machine", kExamples + "/machines/minimal.json", "--scenario", dir + "/none.json"},
                "WINSIM_SANDBOX=" + Quote(dir + "/sandbox"));
    EXPECT_EQ(missing.code, 1) << host;
    EXPECT_EQ(missing.err.find(std::string(host) + ": scenario "), 0u) << missing.err;
    Outcome bad = Execute(dir, host, {"--frobnicate"});
    EXPECT_EQ(bad.code, 1) << host;
    EXPECT_EQ(bad.err.find(std::string(host) + ": unknown option"), 0u) << bad.err;
  }
}

// Devices of a description as a comparable text: what Win32 shows of them.
// A device never seen, and what hangs below it, has no node to show.
std::set<std::string> Devices(const std::string& json) {
  rapidjson::Document doc = Parse(json);
  std::set<std::string> out, unseen;
  for (const auto& d : doc["devices"].GetArray()) {
    bool seen = !d.HasMember("known") || d["known"].GetBool();
    if (!seen || (d.HasMember("parent") && unseen.count(d["parent"].GetString()))) {
      unseen.insert(d["id"].GetString());  // parents come before their children
      continue;
    }
    std::string line;
    for (const char* key : {"id", "parent", "class", "name", "friendlyName", "service"})
      line += std::string(key) + "=" + (d.HasMember(key) ? d[key].GetString() : "") + " ";
    for (const char* key : {"hw", "compat", "interfaces"}) {
      std::set<std::string> values;  // interface classes come in no particular order
      if (d.HasMember(key))
        for (const auto& v : d[key].GetArray()) values.insert(v.GetString());
      for (const std::string& v : values) line += std::string(key) + ":" + v + " ";
    }
    bool present = !d.HasMember("present") || d["present"].GetBool();
    line += present ? "present" : "absent";
    out.insert(line);
  }
  return out;
}

TEST(HwctlCapture, ACaptureLoadsBackIntoTheSameTree) {
  for (const std::string& machine : {kLaptop, kWorkstation}) {
    std::string dir = dmtest::MakeTempDir("capture");
    Outcome first = Execute(dir, "hwctl", {"--machine", machine, "capture", dir + "/a.json"});
    ASSERT_EQ(first.code, 0) << first.err;
    Outcome second = Execute(dir, "hwctl", {"--machine", dir + "/a.json", "capture"});
    ASSERT_EQ(second.code, 0) << second.err;
    std::string a = dmtest::ReadTextFile(dir + "/a.json");
    EXPECT_EQ(second.out, a) << machine;
    EXPECT_EQ(a.find("\"known\""), std::string::npos) << "a captured machine knows what it has seen";
    // The description's own devices, but for what Windows does not keep of
    // an absent device (its status), and what a description may leave out.
    std::set<std::string> captured = Devices(a), described = Devices(dmtest::ReadTextFile(machine));
    std::vector<std::string> differ;
    std::set_symmetric_difference(captured.begin(), captured.end(), described.begin(), described.end(),
                                  std::back_inserter(differ));
    EXPECT_TRUE(differ.empty()) << machine << ": " << differ.size() << " differ, first: " << differ.front();
  }
}

}  // namespace
