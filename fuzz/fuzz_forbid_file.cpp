// The forbidden-device file reader on arbitrary file content, written into
// the simulated installation folder: it answers true exactly for a non-empty
// file, yields one record per element of a root array (an instance path from
// a string "deviceName_10", every other field empty) and nothing for any
// other content; what it read survives a write and a second read.
#include <cstdio>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "DeviceFileControl.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Fail;

// The instance paths the reader should produce, or false for "no records".
bool ExpectedPaths(const uint8_t* data, size_t size, std::vector<std::string>* paths) {
  rapidjson::Document doc;
  doc.Parse(reinterpret_cast<const char*>(data), size);
  if (doc.HasParseError() || !doc.IsArray()) return false;
  for (const rapidjson::Value& element : doc.GetArray()) {
    std::string path;
    if (element.IsObject()) {
      auto name = element.FindMember("deviceName_10");
      if (name != element.MemberEnd() && name->value.IsString())
        path.assign(name->value.GetString(), name->value.GetStringLength());
    }
    paths->push_back(path);
  }
  return true;
}

void CheckRecords(const std::vector<stDevice>& list, const std::vector<std::string>& paths, const char* when) {
  if (list.size() != paths.size()) {
    fprintf(stderr, "%s: %zu records, %zu expected\n", when, list.size(), paths.size());
    Fail("record count");
  }
  for (size_t i = 0; i < list.size(); ++i) {
    const stDevice& d = list[i];
    if (d.strInstancePath != paths[i]) Fail("instance path");
    if (!d.strDeviceID.empty() || !d.strDeviceName.empty() || !d.strDeviceClassGuid.empty() || d.dwStatus != 0 ||
        d.dwStatus_Now != 0)
      Fail("a restored record carries more than its instance path");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static device_filecontrol* control = [] {
    fuzzsupport::LoadMachine("");
    return new device_filecontrol();
  }();
  static const std::string hostFile = fuzzsupport::HostPath(std::string(fuzzsupport::kInstallDir) +
                                                            "config\\ForbidDeviceInfo.dat");

  FILE* file = fopen(hostFile.c_str(), "wb");
  if (file == nullptr) Fail("cannot write the file");
  if (size > 0 && fwrite(data, 1, size, file) != size) Fail("short write");
  fclose(file);

  // A stale record must never survive a read.
  std::vector<stDevice> list(2);
  list[0].strInstancePath = "STALE";
  bool found = control->ReadForbidDeviceInfoToVector(&list);
  if (found != (size > 0)) Fail("result is not \"file non-empty\"");

  std::vector<std::string> paths;
  ExpectedPaths(data, size, &paths);
  CheckRecords(list, paths, "first read");

  control->WriteForbidDeviceInfoToFile(&list);
  std::vector<stDevice> again;
  if (!control->ReadForbidDeviceInfoToVector(&again)) Fail("the written file reads as missing");
  CheckRecords(again, paths, "after a write");
  return 0;
}
