// The file behind the diagnostic log: one text file per log name, opened in
// shared append mode around every line and cut to its newest lines when it
// grows past its maximum size. Not locked: CDiagLog serialises its callers.
#pragma once
#include <cstdint>
#include <string>
#include "common/util/LineFile.h"

class CDiagLogFile {
 public:
  // `installDir` ends with a separator; the file is
  // <installDir>tpmlog/log_<name>.txt.
  CDiagLogFile(const std::string& name, const std::string& installDir, uint32_t dwMaxSize = 20u << 20,
               uint32_t dwCutSize = 1u << 20);
  CDiagLogFile(const CDiagLogFile&) = delete;
  CDiagLogFile& operator=(const CDiagLogFile&) = delete;

  // Renames the log; the next line goes to the new path. Size and files are
  // left alone.
  void SetName(const std::string& name, const std::string& installDir);
  // Appends "<time stamp>, <name><text>\n" and cuts the file when it is past
  // its maximum size. False when the file could not be opened (the line is
  // dropped). Exceptions are left to the caller.
  bool WriteLine(const std::string& text);

  const std::string& Path() const { return m_file.Path(); }
  const std::string& Name() const { return m_strName; }
  int64_t Size() const { return m_file.Size(); }

 private:
  std::string m_strName;
  CLineFile m_file;
};

// "%d-%02d-%02d %02d:%02d:%02d, " of the local time.
std::string DiagTimeStamp();
