// The forbidden-device file config\ForbidDeviceInfo.dat under the agent's
// installation folder: the devices this module disabled, by instance ID, so
// that they are known again after a restart of the agent.
#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "DeviceRecord.h"

class device_filecontrol {
 public:
  device_filecontrol();
  device_filecontrol(const device_filecontrol&) = delete;
  device_filecontrol& operator=(const device_filecontrol&) = delete;

  // Clears the list, then fills it from the file. True when the file was
  // found, opened and read, whatever it held; false when it is missing, empty
  // or cannot be opened.
  bool ReadForbidDeviceInfoToVector(std::vector<stDevice>* pVecDevice);
  // Rewrites the file with the instance IDs of the list, in order. Always true.
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

  // The two worker threads read, write and delete the file; one at a time.
  std::mutex m_mtxFile;
  std::string m_strFallbackPath;
};
