// The forbidden-device file config\ForbidDeviceInfo.dat under the agent's
// installation folder: the devices this module disabled, by instance ID, so
// that they are known again after a restart of the agent. The file is always
// replaced whole (a temporary file beside it, then one move), so a crash or a
// kill at any moment leaves either the old or the new file.
#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "DeviceRecord.h"

// A forbidden-device file larger than this is not read: a few thousand
// devices take a small part of it.
const uint64_t FORBID_FILE_MAX_BYTES = 1024 * 1024;

class device_filecontrol {
 public:
  device_filecontrol();
  device_filecontrol(const device_filecontrol&) = delete;
  device_filecontrol& operator=(const device_filecontrol&) = delete;

  // Clears the list, then fills it from the file. True when the file was
  // found, opened and read; false when it is missing, empty, too large or
  // cannot be opened. A file that does not parse gives the entries a lenient
  // scan still finds, and is kept aside (ForbidDeviceInfo.dat.bad) before any
  // pass replaces it.
  bool ReadForbidDeviceInfoToVector(std::vector<stDevice>* pVecDevice);
  // Replaces the file with the instance IDs of the list, in order; nothing is
  // written when the file already holds exactly that. False (with an ERROR
  // line) when the new file could not be written whole; the old one stays.
  bool WriteForbidDeviceInfoToFile(std::vector<stDevice>* pVecDevice);
  // Removes the file; a missing file is no error.
  void DeleteForbidDeviceInfoFile();

  // Full path of the file.
  std::string GetFilePath();

  stDevice m_stDevice;  // working record of the reader
  std::string m_strDeviceInfoFilePath;

 private:
  // The path needs the installation folder, which comes from the registry:
  // it is worked out on first use, never while the module is being loaded.
  // Callers hold m_mtxFile.
  const std::string& FilePathLocked();
  // Moves an unreadable file to the first free ".bad" name; never replaces
  // an earlier one.
  void SetAsideLocked(const std::string& path);

  // The two worker threads read, write and delete the file; one at a time.
  std::mutex m_mtxFile;
  std::string m_strFallbackPath;
  // What the file holds as far as this object knows (after a read or a
  // write of its own); lets an unchanged list skip the rewrite.
  bool m_bContentKnown = false;
  std::string m_strContent;
};

// The instance IDs a damaged file still names: every complete
// "deviceName_10": "..." pair, in order.
std::vector<std::string> SalvageForbidDeviceIds(const std::string& text);
