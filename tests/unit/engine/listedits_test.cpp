// The portable half of the engine on plain data, without the Win32 API: the
// list edits of the setup commands and the multi-string values they read.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "DeviceControl_portable.h"

namespace {

typedef std::vector<std::string> Names;

// Runs one edit; the list afterwards comes back in *pNames.
template <typename Edit>
EngineResult Run(Names* pNames, const Names& ops, Edit edit) {
  std::vector<WString> list, wideOps;
  for (const std::string& name : *pNames) list.emplace_back(name.begin(), name.end());
  for (const std::string& op : ops) wideOps.emplace_back(op.begin(), op.end());
  std::vector<const WCHAR*> pointers;
  for (const WString& op : wideOps) pointers.push_back(op.c_str());
  EngineResult result = edit(&list, static_cast<int>(pointers.size()), pointers.data());
  pNames->clear();
  for (const WString& item : list) pNames->emplace_back(item.begin(), item.end());
  return result;
}

EngineResult HardwareIds(Names* pNames, const Names& ops) { return Run(pNames, ops, EditHardwareIds); }

EngineResult Filters(Names* pNames, const Names& ops, bool* pbModified = nullptr) {
  bool modified = false;
  EngineResult result = Run(pNames, ops, [&](std::vector<WString>* list, int n, const WCHAR* const* p) {
    return EditFilterList(
        list, n, p, [](const WString& name) { return name.size() == 4 && name[0] == 's'; }, &modified);
  });
  if (pbModified != nullptr) *pbModified = modified;
  return result;
}

}  // namespace

TEST(DeviceControlListEdits, HardwareIds) {
  Names ids{"A", "B"};
  EXPECT_EQ(HardwareIds(&ids, {"+C", "-D", "!a", "E"}), ENGINE_OK);
  EXPECT_EQ(ids, (Names{"C", "B", "D", "E"}));
  EXPECT_EQ(HardwareIds(&ids, {"=X", "Y"}), ENGINE_OK);
  EXPECT_EQ(ids, (Names{"X", "Y"}));
  // Bare IDs follow the previous insertion; moving an ID from in front of
  // that place keeps them behind it.
  ids = {"A", "B"};
  EXPECT_EQ(HardwareIds(&ids, {"-X", "a", "Z"}), ENGINE_OK);
  EXPECT_EQ(ids, (Names{"B", "X", "a", "Z"}));
  // Every copy goes, whatever its case.
  ids = {"A", "b", "B"};
  EXPECT_EQ(HardwareIds(&ids, {"+B"}), ENGINE_OK);
  EXPECT_EQ(ids, (Names{"B", "A"}));
  EXPECT_EQ(HardwareIds(&ids, {"!b", "!a"}), ENGINE_OK);
  EXPECT_TRUE(ids.empty());
  for (const char* bad : {"", "=", "!"}) EXPECT_EQ(HardwareIds(&ids, {"+A", bad}), ENGINE_USAGE) << bad;
}

TEST(DeviceControlListEdits, ClassFilters) {
  bool modified = false;
  Names filters{"partmgr"};
  EXPECT_EQ(Filters(&filters, {"@PARTMGR", "-svcB", "+svcA"}, &modified), ENGINE_OK);
  EXPECT_TRUE(modified);
  EXPECT_EQ(filters, (Names{"svcB", "svcA", "partmgr"}));
  EXPECT_EQ(Filters(&filters, {"@svcB", "=", "@svcB"}, &modified), ENGINE_OK);
  EXPECT_FALSE(modified);
  // Removing puts the position on the next entry: "+" inserts there, "@"
  // searches from there.
  EXPECT_EQ(Filters(&filters, {"!svcA", "+svcC"}), ENGINE_OK);
  EXPECT_EQ(filters, (Names{"svcB", "svcC", "partmgr"}));
  EXPECT_EQ(Filters(&filters, {"!svcB", "@svcB"}), ENGINE_FAIL);
  // Without a position, "+" appends and "-" prepends; "=" drops the position.
  filters.clear();
  EXPECT_EQ(Filters(&filters, {"-svcA", "=+svcB", "-svcC"}), ENGINE_OK);
  EXPECT_EQ(filters, (Names{"svcA", "svcC", "svcB"}));
  // Unknown services and names not in the list fail; malformed operations
  // are usage errors.
  EXPECT_EQ(Filters(&filters, {"+nosuchsvc"}), ENGINE_FAIL);
  EXPECT_EQ(Filters(&filters, {"!svcZ"}), ENGINE_FAIL);
  for (const char* bad : {"+", "xsvcA", ""}) EXPECT_EQ(Filters(&filters, {"@svcA", bad}), ENGINE_USAGE) << bad;
}

TEST(DeviceControlListEdits, MultiStringValuesWithOrWithoutTheirTerminators) {
  auto strings = [](MultiStringList list) {
    Names names;
    for (WCHAR** p = list.get(); p != nullptr && *p != nullptr; ++p) names.emplace_back(*p, *p + WString(*p).size());
    return names;
  };
  const WString cut = WIDE("USB\\A") + WString(1, 0) + WIDE("USB\\B");
  MultiStringList list(std::vector<WCHAR>(cut.begin(), cut.end()));
  EXPECT_EQ(strings(std::move(list)), (Names{"USB\\A", "USB\\B"}));  // a move keeps the strings in place
  EXPECT_EQ(ParseMultiString(cut.data(), cut.size()), (std::vector<WString>{WIDE("USB\\A"), WIDE("USB\\B")}));
  EXPECT_EQ(ParseMultiString(BuildMultiString({WIDE("x"), WIDE("y")}).data(), 5),
            (std::vector<WString>{WIDE("x"), WIDE("y")}));
  // An empty value is a value, with no strings; unlike no value at all.
  EXPECT_TRUE(static_cast<bool>(MultiStringList(std::vector<WCHAR>())));
  EXPECT_TRUE(strings(MultiStringList(std::vector<WCHAR>())).empty());
  EXPECT_FALSE(static_cast<bool>(MultiStringList()));
  EXPECT_EQ(WString(PropertyString(std::vector<WCHAR>()).get()), WString());
  EXPECT_EQ(PropertyString().get(), nullptr);
}
