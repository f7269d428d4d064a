// The forbidden-device file reader on any content up to its size cap, written
// into the simulated installation folder. It answers true exactly for a
// non-empty file within the cap. A file whose content is a JSON array yields
// one record per element (the instance path from a string "deviceName_10",
// every other field empty) and stays where it is; any other content yields
// the non-empty IDs the lenient scan finds and is kept aside byte for byte as
// ForbidDeviceInfo.dat.bad. Whatever was read survives a write and a second
// read, and the written file is the canonical list. The lenient scan agrees
// with the parser on every canonical file and on every cut of one.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include <rapidjson/document.h>

#include "DeviceFileControl.h"
#include "fuzz_support.h"

namespace {

using fuzzsupport::Fail;

// The instance paths of a root array, or false when the content is not one.
// Iterative, as deep nesting must not cost stack here either.
bool ParsedPaths(const char* data, size_t size, std::vector<std::string>* paths) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(data, size);
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

std::vector<std::string> NonEmpty(const std::vector<std::string>& paths) {
  std::vector<std::string> kept;
  for (const std::string& path : paths)
    if (!path.empty()) kept.push_back(path);
  return kept;
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

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static device_filecontrol* control = [] {
    fuzzsupport::LoadMachine("");
    return new device_filecontrol();
  }();
  static const std::string hostFile =
      fuzzsupport::HostPath(std::string(fuzzsupport::kInstallDir) + "config\\ForbidDeviceInfo.dat");
  static const std::string hostAside = hostFile + ".bad";
  const char* text = reinterpret_cast<const char*>(data);

  std::error_code ec;
  std::filesystem::remove(hostAside, ec);
  FILE* file = fopen(hostFile.c_str(), "wb");
  if (file == nullptr) Fail("cannot write the file");
  if (size > 0 && fwrite(data, 1, size, file) != size) Fail("short write");
  fclose(file);

  // A stale record must never survive a read.
  std::vector<stDevice> list(2);
  list[0].strInstancePath = "STALE";
  bool found = control->ReadForbidDeviceInfoToVector(&list);
  const bool withinCap = size > 0 && size <= FORBID_FILE_MAX_BYTES;
  if (found != withinCap) Fail("result is not \"file non-empty and within the cap\"");

  std::vector<std::string> paths;
  if (!withinCap) {
    CheckRecords(list, paths, "unread file");
  } else if (ParsedPaths(text, size, &paths)) {
    CheckRecords(list, paths, "first read");
    if (Exists(hostAside) || !Exists(hostFile)) Fail("a list was set aside");
  } else {
    paths = SalvageForbidDeviceIds(std::string(text, size));
    CheckRecords(list, paths, "salvage");
    for (const std::string& path : paths)
      if (path.empty()) Fail("an empty ID salvaged");
    if (Exists(hostFile)) Fail("a damaged file stays in place");
    if (ReadAll(hostAside) != std::string(text, size)) Fail("the damaged file is not kept aside as it was");
  }

  control->WriteForbidDeviceInfoToFile(&list);
  const std::string written = ReadAll(hostFile);
  std::vector<std::string> again;
  if (!ParsedPaths(written.data(), written.size(), &again) || again != paths) Fail("the written file is not the list");
  std::vector<stDevice> reread;
  std::filesystem::remove(hostAside, ec);
  if (!control->ReadForbidDeviceInfoToVector(&reread)) Fail("the written file reads as missing");
  CheckRecords(reread, paths, "after a write");
  if (Exists(hostAside)) Fail("the written file was set aside");

  // The lenient scan finds every non-empty ID of a canonical file, and of a
  // cut one a leading run of them.
  const std::vector<std::string> ids = NonEmpty(paths);
  if (SalvageForbidDeviceIds(written) != ids) Fail("the scan disagrees with the parser on a written file");
  const size_t cut = size == 0 ? 0 : data[size - 1] * written.size() / 255;
  std::vector<std::string> head = SalvageForbidDeviceIds(written.substr(0, cut));
  if (head.size() > ids.size() || !std::equal(head.begin(), head.end(), ids.begin()))
    Fail("the scan of a cut file is not a leading run of its IDs");
  return 0;
}
