#include "DecisionJournal.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/helper/LogOpt/VaultLogOpt.h"
#include "common/util/HostIdentity.h"
#include "platform/winapi.h"

namespace {

const char kJournalFile[] = "tpmlog\\decisions_device.jsonl";

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void Text(JsonWriter& writer, const char* key, const std::string& value) {
  writer.Key(key);
  std::string utf8 = AnsiToUtf8(value);
  writer.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void Texts(JsonWriter& writer, const char* key, const std::vector<std::string>& values) {
  writer.Key(key);
  writer.StartArray();
  for (const std::string& value : values) {
    std::string utf8 = AnsiToUtf8(value);
    writer.String(utf8.c_str(), static_cast<rapidjson::SizeType>(utf8.size()));
  }
  writer.EndArray();
}

// Everything but the time: what tells one outcome from another.
void Body(JsonWriter& writer, const DeviceDecisionLine& line) {
  Text(writer, "instanceId", line.strInstanceId);
  Text(writer, "name", line.strName);
  Text(writer, "classGuid", line.strClassGuid);
  Text(writer, "verdict", line.bForbid ? "forbid" : "allow");
  Text(writer, "strategy", line.strStrategy);
  Texts(writer, "deviceIds", line.vecDeviceIds);
  Texts(writer, "definitions", line.vecDefinitions);
  Text(writer, "exclusion", line.strExclusion);
  Text(writer, "guard", line.strGuard);
  Text(writer, "action", line.pszAction != nullptr ? line.pszAction : "");
  char result[24];
  snprintf(result, sizeof(result), "0x%llX", static_cast<unsigned long long>(line.ret));
  Text(writer, "result", result);
}

// Two lines say the same when every member but the time does: compared on
// the module's own texts, so that a quiet pass formats and converts nothing.
bool SameOutcome(const DeviceDecisionLine& a, const DeviceDecisionLine& b) {
  return a.strInstanceId == b.strInstanceId && a.strName == b.strName && a.strClassGuid == b.strClassGuid &&
         a.bForbid == b.bForbid && a.strStrategy == b.strStrategy && a.vecDeviceIds == b.vecDeviceIds &&
         a.vecDefinitions == b.vecDefinitions && a.strExclusion == b.strExclusion && a.strGuard == b.strGuard &&
         strcmp(a.pszAction != nullptr ? a.pszAction : "", b.pszAction != nullptr ? b.pszAction : "") == 0 &&
         a.ret == b.ret;
}

}  // namespace

std::string FormatDecisionLine(const DeviceDecisionLine& line, int64_t llTimeMs) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  writer.Key("time");
  writer.Int64(llTimeMs);
  Body(writer, line);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

bool decision_journal::Record(const DeviceDecisionLine& line) {
  try {
    // A device the module disabled is found off at the next pass, and one it
    // enabled is found running: the same outcome, told once.
    DeviceDecisionLine same = line;
    if (line.pszAction != nullptr && strcmp(line.pszAction, journal_action::kAlreadyOff) == 0)
      same.pszAction = journal_action::kDisabled;
    if (line.pszAction != nullptr && strcmp(line.pszAction, journal_action::kAllowed) == 0)
      same.pszAction = journal_action::kEnabled;
    same.ret = 0;
    std::lock_guard<std::mutex> lock(m_mtx);
    auto last = m_mapLast.find(line.strInstanceId);
    if (last != m_mapLast.end() && SameOutcome(last->second, same)) return false;
    if (!m_pFile) m_pFile.reset(new CLineFile(GetInstallDir() + kJournalFile));
    // Remembered even when the file cannot be opened: the journal explains,
    // it never holds state, and a missing tpmlog folder is not an error.
    m_mapLast[line.strInstanceId] = same;
    return m_pFile->Append(FormatDecisionLine(line, UnixTimeMs()));
  } catch (...) {
    return false;
  }
}

void decision_journal::Reset() {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_mapLast.clear();
}

void decision_journal::SetPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mtx);
  m_pFile.reset(new CLineFile(path));
}
