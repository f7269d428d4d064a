// What whatif reports, built from what the module itself wrote (its
// decision journal, audit records and tips) and from the device states before
// and after: the report agrees with the module by construction.
#pragma once
#include <map>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace whatif {

// One device of the machine description, with its state before the module
// started and at the end.
struct MachineDevice {
  std::string id;
  std::string parent;
  std::string className;                // setup class name ("Keyboard"), empty when unknown
  std::string name;                     // friendly name, else description, else the ID
  std::vector<std::string> ids;         // hardware and compatible IDs
  std::vector<std::string> interfaces;  // as the description names them
  unsigned status = 0;                  // DN_* flags of the description
  bool inUse = false;
  // Before the module started (after plugging for the plugged subtrees) and
  // at the end.
  bool plugged = false;
  bool disabledBefore = false, disabledAfter = false;
  bool presentAfter = false, startedAfter = false;
  bool pendingBefore = false, pendingAfter = false;
};

// The module's own words about one device: its decision journal lines.
struct Judgement {
  std::string verdict;  // "forbid", "allow", "" (not judged)
  std::string strategyId;
  std::vector<std::string> deviceIds;
  std::vector<std::string> definitions;  // "\"USB storage\" gives USB-STORAGE"
  std::vector<std::string> reasons;      // journal actions, outcome by outcome
  std::vector<std::string> lines;        // the journal lines, as written
  std::string guardWhy;                  // "it carries the keyboard ..."
  std::string exclusion;                 // the exclusion entry, when excluded
};

struct DeviceReport {
  std::string instanceId, description, verdict, strategyId, action, reason;
  std::vector<std::string> deviceIds, definitions, takesAlong, audit, tips, journal;
  bool afterRestart = false;  // the disable waits for a restart (a device in use below it)
};

struct LockoutEntry {
  std::string instanceId, description, kind, lostThrough;
};

struct Report {
  std::vector<DeviceReport> devices;
  std::vector<LockoutEntry> lockout;
  std::vector<std::string> audit;  // audit records, one JSON text each
  std::vector<std::string> tips;   // notification records, one JSON text each
};

// A string member of a JSON object, "" when absent or not a string; the
// string elements of an array member.
std::string JsonText(const rapidjson::Value& object, const char* key);
std::vector<std::string> JsonTexts(const rapidjson::Value& object, const char* key);

// Reads the module's decision journal (tpmlog\decisions_device.jsonl) into
// judgements by instance ID; lines that are not journal objects are skipped.
std::map<std::string, Judgement> ParseJournal(const std::string& journalText);

// The report: every judged or excluded device; what left the machine with
// each disabled device; the input devices, hubs, network adapters and system
// disk lost.
Report BuildReport(const std::vector<MachineDevice>& machine, const std::map<std::string, Judgement>& judged,
                   const std::vector<std::string>& audit, const std::vector<std::string>& tips);

// The kind that makes losing a device a lockout ("keyboard", "mouse", "HID
// device", "USB hub", "network adapter", "system disk"), or empty.
std::string LockoutKind(const MachineDevice& device, const std::set<std::string>& systemDisks);
// The system disks: the disks that carry a device in use (the system volume
// with the page file); a description that marks nothing in use (a capture)
// counts every fixed (not removable) disk.
std::set<std::string> SystemDisks(const std::vector<MachineDevice>& machine);

std::string RenderText(const Report& report, const std::string& explainId);
std::string RenderJson(const Report& report);

}  // namespace whatif
