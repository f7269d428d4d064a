// The diagnostic log: DIAG_LOG(level, format, ...) writes one line to
// <install dir>tpmlog/log_<name>.txt when the level is enabled; disabled levels
// are never formatted. The function is written as "class::function".
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#define LOG_INFO 0
#define LOG_WARN 1
#define LOG_ERROR 2

class CDiagLogFile;

class CDiagLogRecord {
 public:
  CDiagLogRecord(uint8_t level, const char* file, const char* function, int line);
  void Append(const char* format, ...) __attribute__((format(printf, 2, 3)));
  std::string Text() const { return m_stream.str(); }

 private:
  std::ostringstream m_stream;
};

class CDiagLog {
 public:
  static CDiagLog& Instance();
  bool IsLevelEnabled(uint8_t level);
  bool Write(const CDiagLogRecord& record);
  void SetName(const std::string& name);
  ~CDiagLog();

 private:
  CDiagLog();
  std::atomic<uint32_t> m_lock;
  CDiagLogFile* m_pFile;
  std::atomic<uint32_t> m_dwThreshold;
  std::atomic<int64_t> m_llLastRefresh;
};

// Qualified "class::function" name of the enclosing function, from the
// compiler's pretty name (g++'s __FUNCTION__ is unqualified).
std::string DiagQualifiedName(const char* prettyFunction);

#define DIAG_LOG(level, ...)                                                                   \
  do {                                                                                         \
    if (CDiagLog::Instance().IsLevelEnabled(static_cast<uint8_t>(level))) {                    \
      CDiagLogRecord dm_diag_record_(static_cast<uint8_t>(level), __FILE__,                    \
                                     DiagQualifiedName(__PRETTY_FUNCTION__).c_str(), __LINE__); \
      dm_diag_record_.Append(__VA_ARGS__);                                                     \
      CDiagLog::Instance().Write(dm_diag_record_);                                             \
    }                                                                                          \
  } while (0)

// The same with an explicit function name, for sites whose name differs from
// the enclosing C++ function (free thread functions, loaders).
#define DIAG_LOG_AS(level, function, ...)                                                             \
  do {                                                                                                \
    if (CDiagLog::Instance().IsLevelEnabled(static_cast<uint8_t>(level))) {                           \
      CDiagLogRecord dm_diag_record_(static_cast<uint8_t>(level), __FILE__, function, __LINE__);      \
      dm_diag_record_.Append(__VA_ARGS__);                                                            \
      CDiagLog::Instance().Write(dm_diag_record_);                                                    \
    }                                                                                                 \
  } while (0)
