#include "common/util/LineFile.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>
#include "platform/winapi.h"

namespace {

// Reads a file line by line ("\n" ends a line; a last line without one still
// counts), bytes kept as they are.
class LineReader {
 public:
  explicit LineReader(FILE* file) : m_file(file), m_buffer(65536), m_pos(0), m_end(0) {}
  bool Next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (m_pos == m_end) {
        m_end = fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_pos = 0;
        if (m_end == 0) return any;
      }
      any = true;
      const char* start = m_buffer.data() + m_pos;
      const void* newline = memchr(start, '\n', m_end - m_pos);
      if (newline != nullptr) {
        size_t length = static_cast<size_t>(static_cast<const char*>(newline) - start);
        line.append(start, length);
        m_pos += length + 1;
        return true;
      }
      line.append(start, m_end - m_pos);
      m_pos = m_end;
    }
  }

 private:
  FILE* m_file;
  std::vector<char> m_buffer;
  size_t m_pos;
  size_t m_end;
};

}  // namespace

CLineFile::CLineFile(std::string path, uint32_t dwMaxSize, uint32_t dwCutSize)
    : m_dwMaxSize(dwMaxSize), m_dwCutSize(dwCutSize), m_strPath(std::move(path)) {}

bool CLineFile::Append(const std::string& text) {
  std::string line = text + "\n";
  bool opened = false;
  try {
    // Binary append: the size is the byte position, and rotation counts bytes.
    m_pStream.Reset(_fsopen(m_strPath.c_str(), "ab", _SH_DENYNO));
    if (m_pStream.IsValid()) {
      opened = true;
      fwrite(line.data(), 1, line.size(), m_pStream.Get());
      fflush(m_pStream.Get());
      long position = ftell(m_pStream.Get());
      if (position >= 0) m_llSize = position;
    }
    m_pStream.Reset();
    if (m_llSize > static_cast<int64_t>(m_dwMaxSize)) Rotate();
  } catch (...) {
    m_pStream.Reset();
    throw;
  }
  return opened;
}

void CLineFile::Rotate() {
  m_pStream.Reset();
  std::string tempPath = m_strPath + ".temp";
  if (::rename(m_strPath.c_str(), tempPath.c_str()) != 0) {
    // A ".temp" left by an interrupted cut blocks the rename; it is older than
    // the current file, so it goes.
    ::remove(tempPath.c_str());
    if (::rename(m_strPath.c_str(), tempPath.c_str()) != 0) return;
  }

  ScopedFile previous(_fsopen(tempPath.c_str(), "rb", _SH_DENYNO));
  if (!previous.IsValid()) return;  // the next line starts a new file
  m_pStream.Reset(_fsopen(m_strPath.c_str(), "wb", _SH_DENYNO));
  if (!m_pStream.IsValid()) return;  // the old lines stay in the ".temp" file

  int64_t bytesToDrop = m_llSize - static_cast<int64_t>(m_dwMaxSize - m_dwCutSize);
  uint32_t dwDropped = 0;
  LineReader reader(previous.Get());
  std::string line;
  while (reader.Next(line)) {
    if (static_cast<int64_t>(dwDropped) < bytesToDrop) {
      dwDropped += static_cast<uint32_t>(line.size());
    } else {
      line += '\n';
      fwrite(line.data(), 1, line.size(), m_pStream.Get());
    }
  }
  previous.Reset();
  fflush(m_pStream.Get());
  fseek(m_pStream.Get(), 0, SEEK_END);
  long position = ftell(m_pStream.Get());
  m_llSize = position >= 0 ? position : 0;
  ::remove(tempPath.c_str());
  m_pStream.Reset();
}
