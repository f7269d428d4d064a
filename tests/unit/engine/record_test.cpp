// The device record's completion and its text form, the narrow wildcard match
// (against the recursive rule it must reproduce) and the engine's ID pattern
// match.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DeviceControl_win32.h"
#include "DeviceRecord.h"
#include "DeviceRecordCodec.h"

namespace {

// The rule as administrators' patterns are defined: "?" first tries to match
// nothing, "*" swallows the "*" and "?" behind it and tries every later place.
bool ReferenceMatch(const char* p, const char* t) {
  if (*t == 0) {
    while (*p == '*' || *p == '?') ++p;
    return *p == 0;
  }
  if (*p == '?') return ReferenceMatch(p + 1, t) || ReferenceMatch(p + 1, t + 1);
  if (*p == '*') {
    while (*p == '*' || *p == '?') ++p;
    if (*p == 0) return true;
    for (; *t; ++t)
      if (ReferenceMatch(p, t)) return true;
    return false;
  }
  return *p != 0 && *p == *t && ReferenceMatch(p + 1, t + 1);
}

// Every string over `alphabet` at most `maxLength` long.
std::vector<std::string> Enumerate(const std::string& alphabet, size_t maxLength) {
  std::vector<std::string> all{""};
  for (size_t from = 0, n = 0; n < maxLength; ++n) {
    const size_t end = all.size();
    for (size_t i = from; i < end; ++i)
      for (char c : alphabet) all.push_back(all[i] + c);
    from = end;
  }
  return all;
}

stDevice Completed(const std::string& hardwareId, const std::string& path, uint32_t status) {
  stDevice device;
  device.SetDeviceID(hardwareId);
  device.SetInstancePath(path);
  device.SetStatus(status);
  device.CompleteDevice();
  return device;
}

WString W(const std::u16string& text) { return WString(reinterpret_cast<const WCHAR*>(text.data()), text.size()); }

std::vector<DeviceRecordText> Parse(const std::u16string& text) {
  return ParseDeviceRecordText(reinterpret_cast<const WCHAR*>(text.data()), text.size());
}

bool IdMatches(const std::u16string& pattern, const std::u16string& id) {
  return MatchIdPattern(reinterpret_cast<const WCHAR*>(id.c_str()),
                        ParseSelector(reinterpret_cast<const WCHAR*>(pattern.c_str())));
}

}  // namespace

TEST(DeviceRecord, CompletionDerivesPatternAndState) {
  EXPECT_EQ(Completed("USB\\VID_0781&PID_5567&REV_0100", "USB\\VID_0781&PID_5567\\1", 0).strDeviceID,
            "USB\\VID_0781&PID_5567&REV_0100*");
  EXPECT_EQ(Completed("", "ROOT\\LEGACY_BEEP\\0000", 0).strDeviceID, "ROOT\\LEGACY_BEEP*");
  std::string twenty(20, 'A');
  EXPECT_EQ(Completed("", twenty + "\\" + twenty + "\\0", 0).strDeviceID, twenty + "\\" + twenty.substr(0, 9) + "*");
  EXPECT_EQ(Completed("", "\\LEADING\\X\\0", 0).strDeviceID, "\\LEADING\\X\\0*");
  EXPECT_EQ(Completed("", "?", 0).strDeviceID, "?*");  // unreadable instance ID: still completed

  // Both flags, and neither: the engine test's devices.
  EXPECT_EQ(Completed("x", "p", 0x2000 | 0x8).dwStatus_Now, 1u);
  EXPECT_EQ(Completed("x", "p", 0x4000).dwStatus_Now, 2u);
  EXPECT_EQ(Completed("x", "p", 0x2000 | 0x4000 | 0x8 | 0x40000000).dwStatus_Now, 0u);
}

TEST(DeviceRecord, TextFormReadsBackWhatWasWritten) {
  DeviceRecordText record;
  record.strInstanceId = W(u"USB\\VID_0781&PID_5567\\4C530001");
  record.strDescription = W(u"Caf\u00e9 \u2603");
  record.strClassGuid = W(u"36fc9e60-c465-11cf-8056-444553540000");
  record.dwStatus = 0x8000600Au;  // the top bit makes the decimal negative
  WString text;
  AppendDeviceRecordText(record, &text);
  EXPECT_EQ(text, W(u"USB\\VID_0781&PID_5567\\4C530001\n\nCaf\u00e9 \u2603\n"
                    u"36fc9e60-c465-11cf-8056-444553540000\n-2147459062\n"));
  DeviceRecordText second = record;
  second.strHardwareId = W(u"USB\\VID_0781&PID_5567&REV_0100");
  second.dwStatus = 0x600A;
  AppendDeviceRecordText(second, &text);
  std::vector<DeviceRecordText> read = ParseDeviceRecordText(text.data(), text.size());
  EXPECT_EQ(read, (std::vector<DeviceRecordText>{record, second}));
  // Text behind the last whole record is dropped.
  EXPECT_EQ(ParseDeviceRecordText(text.data(), text.size() - 1).size(), 1u);

  // The status line: white space, sign, digits up to the first other unit.
  const std::pair<std::u16string, uint32_t> statuses[] = {
      {u" \t+42x", 42u}, {u"", 0u}, {u"-1", 0xFFFFFFFFu}, {u"x7", 0u}, {u"4294967296", 0u}};
  for (const auto& status : statuses) {
    std::vector<DeviceRecordText> one = Parse(u"i\nh\nd\ng\n" + status.first + u"\n");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].dwStatus, status.second) << &status - statuses;
  }
  // A zero unit ends its field.
  EXPECT_EQ(Parse(u"ab" + std::u16string(1, 0) + u"c\nh\nd\ng\n1\n").at(0).strInstanceId, W(u"ab"));
}

TEST(DeviceRecord, NoTextShiftsTheRecordsBehindIt) {
  // Control characters, a zero unit among them, are written as spaces.
  DeviceRecordText hostile;
  hostile.strInstanceId = W(u"USB\\X\r\n1");
  hostile.strDescription = W(u"Evil Disk\nUSB Device\t") + WString(1, 0) + W(u"\u0085\u00e9");
  hostile.strClassGuid = W(u"g\n");
  DeviceRecordText plain;
  plain.strInstanceId = W(u"USB\\Y\\2");
  plain.strDescription = W(u"Plain");
  plain.dwStatus = 0x600A;
  // A description far beyond the record's limit, and an instance ID that is too.
  DeviceRecordText longName = plain;
  longName.strDescription.assign(5000, 'd');
  DeviceRecordText longId = plain;
  longId.strInstanceId.assign(2000, 'i');
  WString text;
  for (const DeviceRecordText* record : {&hostile, &longName, &longId, &plain}) {
    const size_t before = text.size();
    AppendDeviceRecordText(*record, &text);
    EXPECT_LE(text.size() - before, DEVICE_RECORD_MAX_UNITS);
  }
  std::vector<DeviceRecordText> read = ParseDeviceRecordText(text.data(), text.size());
  ASSERT_EQ(read.size(), 4u);
  EXPECT_EQ(read[0].strInstanceId, W(u"USB\\X  1"));
  EXPECT_EQ(read[0].strDescription, W(u"Evil Disk USB Device   \u00e9"));
  EXPECT_EQ(read[0].strClassGuid, W(u"g "));
  // The description gives up its room first, then the instance ID; the
  // status always stays.
  EXPECT_EQ(read[1].strInstanceId, plain.strInstanceId);
  EXPECT_EQ(read[1].strDescription, WString(read[1].strDescription.size(), 'd'));
  EXPECT_GT(read[1].strDescription.size(), 900u);
  EXPECT_EQ(read[2].strDescription, WString());
  EXPECT_EQ(read[2].dwStatus, 0x600Au);
  EXPECT_EQ(read[3], plain);
}

TEST(DeviceRecord, WildcardAgreesWithTheRecursiveRule) {
  EXPECT_FALSE(MatchWildcard("PCI\\VEN_*", "pci\\ven_8086"));  // case matters

  const std::vector<std::string> patterns = Enumerate("ab*?", 6), texts = Enumerate("ab?", 5);
  size_t mismatches = 0;
  for (const std::string& p : patterns)
    for (const std::string& t : texts)
      if (MatchWildcard(p, t) != ReferenceMatch(p.c_str(), t.c_str()) && ++mismatches < 5)
        ADD_FAILURE() << "pattern \"" << p << "\" text \"" << t << "\"";
  EXPECT_EQ(mismatches, 0u);

  // An administrator's pattern full of wildcards against a long ID finishes.
  std::string id(200, 'a');
  EXPECT_FALSE(MatchWildcard("*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?x", id));
  EXPECT_TRUE(MatchWildcard("*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?a", id));
}

TEST(EngineMatch, IdPatternsIgnoreCaseAndFitTheLastSegment) {
  EXPECT_FALSE(IdMatches(u"*&REV_0100", u"USB\\VID_0781&REV_0100&PID_5567"));
  EXPECT_FALSE(IdMatches(u"A*A", u"A"));
  EXPECT_TRUE(IdMatches(u"A*A", u"AA"));
  EXPECT_TRUE(IdMatches(u"a**b*c", u"AxBxC"));
  EXPECT_FALSE(IdMatches(u"a*b*c", u"AxCxB"));
  EXPECT_TRUE(IdMatches(u"'*abc", u"*ABC"));
  EXPECT_FALSE(IdMatches(u"'*abc", u"xabc"));
  EXPECT_TRUE(IdMatches(u"GenDisk", u"gendisk"));
  EXPECT_FALSE(IdMatches(u"GenDisk", u"GenDisk2"));
}
