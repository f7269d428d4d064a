// The audit record composer with arbitrary business members and result text:
// the record handed to the audit-log library is one JSON object that
// RapidJSON parses, its escapes are the writer's (\" \\ \b \t \n \f \r and
// \u00XX upper-case for the other control characters, nothing else), and
// every string member reads back as the bytes that were put in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "common/helper/LogOpt/VaultLogOpt.h"
#include "fuzz_support.h"
#include "standin/standin_vaultlog.h"

namespace {

using fuzzsupport::Fail;

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Walks the strings of a compact JSON text and checks each escape and that
// no control character stands unescaped.
void CheckEscapes(const std::string& text) {
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (!inString) {
      if (c == '"') inString = true;
      continue;
    }
    if (c < 0x20) Fail("raw control character in a string");
    if (c == '"') {
      inString = false;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) Fail("escape at the end of the record");
      char e = text[++i];
      if (e == 'u') {
        if (i + 4 >= text.size() || text[i + 1] != '0' || text[i + 2] != '0' || !IsUpperHex(text[i + 3]) ||
            !IsUpperHex(text[i + 4]))
          Fail("\\u escape is not \\u00XX in upper case");
        unsigned code = static_cast<unsigned>(std::stoul(text.substr(i + 3, 2), nullptr, 16));
        if (code >= 0x20 || code == 0x08 || code == 0x09 || code == 0x0A || code == 0x0C || code == 0x0D)
          Fail("\\u escape for a character with a short escape or none");
        i += 4;
      } else if (e != '"' && e != '\\' && e != 'b' && e != 't' && e != 'n' && e != 'f' && e != 'r') {
        Fail("unknown escape");
      }
    }
  }
  if (inString) Fail("unterminated string");
}

bool SameBytes(const rapidjson::Value& value, const std::string& bytes) {
  return value.IsString() && std::string(value.GetString(), value.GetStringLength()) == bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzsupport::LoadMachineOnce();

  FuzzedDataProvider provider(data, size);
  int32_t kind = provider.ConsumeIntegralInRange<int32_t>(0, 10);
  std::vector<std::pair<std::string, std::string>> members;
  size_t count = provider.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < count; ++i) {
    std::string key = provider.ConsumeRandomLengthString(64);
    members.emplace_back(key, provider.ConsumeRandomLengthString(128));
  }
  std::string resultInfo = provider.ConsumeRemainingBytesAsString();

  std::string record;
  {
    CVaultLogOpt log;
    bool named = log.SetBusinessType(kind);
    if (named != (kind >= 1 && kind <= 9)) Fail("SetBusinessType answer");
    log.SetOperateType(0x50101);
    log.SetPolicyGroupId(0x10030001);
    for (const auto& member : members) log.AddBusinessInfo(member.first, member.second);
    log.m_strResultInfo = resultInfo;
    if (log.MakeLog() != 0) Fail("MakeLog did not reach the audit-log library");
    record = *FuzzLastAuditRecord();
  }

  CheckEscapes(record);
  rapidjson::Document doc;
  doc.Parse(record.data(), record.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    fprintf(stderr, "record: %s\n", record.c_str());
    Fail("the record does not parse as a JSON object");
  }
  if (!doc.HasMember("resultInfo") || !SameBytes(doc["resultInfo"], resultInfo)) Fail("resultInfo changed");
  const rapidjson::Value& items = doc["businessInfo"];
  if (!items.IsArray()) Fail("businessInfo is not an array");
  if (kind < 1 || kind > 9) {
    if (!items.Empty()) Fail("an unnamed business object was sent");
    return 0;
  }
  if (items.Size() != 1 || !items[0].IsObject() || items[0].MemberCount() != 2) Fail("business item shape");
  const rapidjson::Value& item = items[0];
  if (!item.HasMember("businessType") || !item["businessType"].IsInt() || item["businessType"].GetInt() != kind)
    Fail("businessType");
  const rapidjson::Value& business = (item.MemberBegin() + 1)->value;
  if (!business.IsObject() || business.MemberCount() != members.size()) Fail("business object member count");
  size_t i = 0;
  for (auto it = business.MemberBegin(); it != business.MemberEnd(); ++it, ++i) {
    if (!SameBytes(it->name, members[i].first) || !SameBytes(it->value, members[i].second))
      Fail("a business member did not round-trip");
  }
  return 0;
}
