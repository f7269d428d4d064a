// A text file of whole lines, opened in shared append mode around every line
// and cut to its newest lines when it grows past its maximum size: the
// diagnostic log and the decision journal keep their files this way. Not
// locked: the owner serialises its callers.
#pragma once
#include <cstdint>
#include <string>
#include "common/util/ScopedHandle.h"

class CLineFile {
 public:
  CLineFile(std::string path, uint32_t dwMaxSize = 20u << 20, uint32_t dwCutSize = 1u << 20);
  CLineFile(const CLineFile&) = delete;
  CLineFile& operator=(const CLineFile&) = delete;

  // The next line goes to `path`; the size is left as it is.
  void SetPath(std::string path) { m_strPath = std::move(path); }
  // Appends `line` and "\n"; past the maximum size the oldest lines are cut
  // (through "<path>.temp") so that about max - cut bytes of whole lines stay.
  // False when the file could not be opened (the line is dropped). Exceptions
  // are left to the caller.
  bool Append(const std::string& line);

  const std::string& Path() const { return m_strPath; }
  int64_t Size() const { return m_llSize; }

 private:
  void Rotate();

  uint32_t m_dwMaxSize;
  uint32_t m_dwCutSize;
  int64_t m_llSize = 0;
  std::string m_strPath;
  ScopedFile m_pStream;  // open only while a line is written or the file cut
};
