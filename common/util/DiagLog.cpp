#include "common/util/DiagLog.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>
#include "common/util/DiagLogFile.h"
#include "common/util/HostIdentity.h"
#include "common/util/ScopedHandle.h"
#include "platform/winapi.h"

namespace {

const int64_t kThresholdRefreshSeconds = 60;

// Performance counter in whole seconds and whole milliseconds. The counter is
// split before scaling so that long uptimes cannot overflow.
int64_t CounterScaled(int64_t unitsPerSecond) {
  LARGE_INTEGER counter, frequency;
  if (!QueryPerformanceCounter(&counter) || !QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) return 0;
  int64_t whole = counter.QuadPart / frequency.QuadPart;
  int64_t rest = counter.QuadPart % frequency.QuadPart;
  return whole * unitsPerSecond + rest * unitsPerSecond / frequency.QuadPart;
}

int64_t MonotonicSeconds() { return CounterScaled(1); }

int64_t MonotonicMilliseconds() {
  // Nanoseconds first, then whole milliseconds.
  return CounterScaled(1000000000) / 1000000;
}

const char* LevelWord(uint8_t level) {
  switch (level) {
    case LOG_INFO: return "INFO";
    case LOG_WARN: return "WARN";
    case LOG_ERROR: return "ERROR";
    default: return "XXXX";
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// CDiagLogRecord

CDiagLogRecord::CDiagLogRecord(uint8_t level, const char* file, const char* function, int line) {
  const char* fileName = file != nullptr ? file : "";
  const char* lastBackslash = strrchr(fileName, '\\');
  if (lastBackslash != nullptr && lastBackslash != fileName) fileName = lastBackslash + 1;

  m_stream << ' ' << LevelWord(level) << '(' << static_cast<int32_t>(GetCurrentProcessId()) << '-'
           << static_cast<uint32_t>(GetCurrentThreadId()) << ')' << '<' << MonotonicMilliseconds() << ">[" << line
           << ' ' << fileName << ' ' << (function != nullptr ? function : "") << "], ";
}

void CDiagLogRecord::Append(const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  try {
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
      std::unique_ptr<char[]> text(new char[static_cast<size_t>(length) + 1]);
      int written = vsnprintf(text.get(), static_cast<size_t>(length) + 1, format, args);
      if (written > 0) m_stream.write(text.get(), written < length ? written : length);
    }
  } catch (...) {
    // A message that cannot be formatted leaves the record as it was.
  }
  va_end(args);
}

// ---------------------------------------------------------------------------
// CDiagLogFile

std::string DiagTimeStamp() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char text[64];
  snprintf(text, sizeof(text), "%d-%02d-%02d %02d:%02d:%02d, ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
           now.wSecond);
  return text;
}

CDiagLogFile::CDiagLogFile(const std::string& name, const std::string& installDir, uint32_t dwMaxSize,
                           uint32_t dwCutSize)
    : m_file("", dwMaxSize, dwCutSize) {
  SetName(name, installDir);
}

void CDiagLogFile::SetName(const std::string& name, const std::string& installDir) {
  m_strName = name;
  m_file.SetPath(installDir + "tpmlog/log_" + name + ".txt");
}

bool CDiagLogFile::WriteLine(const std::string& text) { return m_file.Append(DiagTimeStamp() + m_strName + text); }

// ---------------------------------------------------------------------------
// CDiagLog

CDiagLog& CDiagLog::Instance() {
  static CDiagLog instance;
  return instance;
}

CDiagLog::CDiagLog()
    : m_lock(0), m_pFile(nullptr), m_dwThreshold(0), m_llLastRefresh(0), m_pfnThresholdSource(nullptr) {
  try {
    m_pFile = new CDiagLogFile("default", GetInstallDir());
  } catch (...) {
    // Without a file every line is dropped until SetName makes one.
    m_pFile = nullptr;
  }
}

CDiagLog::~CDiagLog() {
  delete m_pFile;
  m_pFile = nullptr;
}

void CDiagLog::Acquire() {
  // Busy wait: a line is written in well under a millisecond.
  while (m_lock.fetch_or(1u, std::memory_order_acquire) & 1u) {}
}

void CDiagLog::Release() { m_lock.fetch_and(~1u, std::memory_order_release); }

bool CDiagLog::IsLevelEnabled(uint8_t level) {
  int64_t now = MonotonicSeconds();
  int64_t last = m_llLastRefresh.load(std::memory_order_relaxed);
  if (last == 0 || now - last >= kThresholdRefreshSeconds) {
    // Stamped before the read: a source that logs (its library loader reports
    // its own failures) finds the refresh done and does not come back here.
    m_llLastRefresh.store(now, std::memory_order_relaxed);
    ThresholdSource source = m_pfnThresholdSource.load(std::memory_order_relaxed);
    if (source != nullptr) {
      try {
        uint32_t value = source();
        if (value != m_dwThreshold.load(std::memory_order_relaxed))
          m_dwThreshold.store(value, std::memory_order_relaxed);
      } catch (...) {
        // Keep the old threshold.
      }
    }
  }
  return static_cast<uint32_t>(level) >= m_dwThreshold.load(std::memory_order_relaxed);
}

void CDiagLog::SetThresholdSource(ThresholdSource source) {
  if (m_pfnThresholdSource.exchange(source, std::memory_order_relaxed) != source) ForceThresholdRefresh();
}

bool CDiagLog::Write(const CDiagLogRecord& record) {
  std::string text;
  try {
    text = record.Text();
  } catch (...) {
    return false;
  }
  Acquire();
  if (m_pFile == nullptr) {
    Release();
    return false;
  }
  bool completed = true;
  try {
    m_pFile->WriteLine(text);
  } catch (...) {
    completed = false;
  }
  Release();
  return completed;
}

void CDiagLog::SetName(const std::string& name) {
  std::string installDir;
  try {
    installDir = GetInstallDir();
  } catch (...) {
    return;  // the log keeps its previous name
  }
  // Under the writers' lock, so a line being written keeps its file.
  Acquire();
  try {
    if (m_pFile == nullptr)
      m_pFile = new CDiagLogFile(name, installDir);
    else
      m_pFile->SetName(name, installDir);
  } catch (...) {
    // The log keeps its previous name.
  }
  Release();
}

// ---------------------------------------------------------------------------
// DiagQualifiedName

namespace {

// Index of the '(' that opens the parameter list of the outermost function
// in a pretty name, skipping template arguments and "operator()".
size_t ParameterListStart(const std::string& name) {
  int depth = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (name.compare(i, 8, "operator") == 0) {
      // Operator names may contain <, >, ( and ); jump over the symbol.
      size_t j = i + 8;
      while (j < name.size() && name[j] == ' ') ++j;
      if (name.compare(j, 2, "()") == 0) {
        i = j + 1;
        continue;
      }
      while (j < name.size() && name[j] != '(') ++j;
      if (depth == 0) return j < name.size() ? j : std::string::npos;
      i = j - 1;
      continue;
    }
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      if (depth > 0) --depth;
    } else if (c == '(' && depth == 0) {
      return i;
    } else if (c == '(') {
      // Parentheses inside template arguments: skip to the match.
      int parens = 1;
      while (++i < name.size() && parens > 0) {
        if (name[i] == '(') ++parens;
        if (name[i] == ')') --parens;
      }
      --i;
    }
  }
  return std::string::npos;
}

// Splits "a::b<c::d>::e" at the "::" that are outside template arguments.
std::vector<std::string> SplitScopes(const std::string& name) {
  std::vector<std::string> parts;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      if (depth > 0) --depth;
    } else if (c == ':' && depth == 0 && i + 1 < name.size() && name[i + 1] == ':') {
      parts.push_back(name.substr(start, i - start));
      start = i + 2;
      ++i;
    }
  }
  parts.push_back(name.substr(start));
  return parts;
}

std::string WithoutTemplateArguments(const std::string& part) {
  if (part.compare(0, 8, "operator") == 0) return part;
  size_t open = part.find('<');
  return open == std::string::npos ? part : part.substr(0, open);
}

}  // namespace

std::string DiagQualifiedName(const char* prettyFunction) {
  if (prettyFunction == nullptr) return std::string();
  try {
    std::string name(prettyFunction);
    size_t with = name.find(" [with ");
    if (with != std::string::npos) name.erase(with);
    // A lambda logs under the function that holds it.
    size_t lambda = name.find("::<lambda");
    if (lambda != std::string::npos) name.erase(lambda);

    size_t open = ParameterListStart(name);
    if (open != std::string::npos) name.erase(open);
    while (!name.empty() && name.back() == ' ') name.pop_back();

    // The return type ends at the last space outside template arguments
    // ("operator new" and "operator delete" keep their space).
    int depth = 0;
    size_t begin = 0;
    for (size_t i = 0; i < name.size(); ++i) {
      if (name[i] == '<') ++depth;
      if (name[i] == '>' && depth > 0) --depth;
      if (name[i] == ' ' && depth == 0 && !(i >= 8 && name.compare(i - 8, 8, "operator") == 0)) begin = i + 1;
    }
    name.erase(0, begin);
    while (!name.empty() && (name[0] == '*' || name[0] == '&')) name.erase(0, 1);

    std::vector<std::string> parts;
    for (const std::string& part : SplitScopes(name)) {
      if (!part.empty() && part != "{anonymous}" && part != "(anonymous namespace)") parts.push_back(part);
    }
    if (parts.empty()) return name;
    if (parts.size() == 1) return WithoutTemplateArguments(parts[0]);
    return WithoutTemplateArguments(parts[parts.size() - 2]) + "::" + WithoutTemplateArguments(parts.back());
  } catch (...) {
    return std::string();
  }
}
