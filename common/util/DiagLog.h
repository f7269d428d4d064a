// The diagnostic log: DIAG_LOG(level, format, ...) writes one line to
// <install dir>tpmlog/log_<name>.txt when the level is enabled; disabled levels
// are never formatted. The function is written as "class::function".
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>

#define LOG_INFO 0
#define LOG_WARN 1
#define LOG_ERROR 2

// mingw's plain "printf" format check follows the old msvcrt; the log formats
// with the C99 formatter, which is what its own macro names.
#ifdef __MINGW_PRINTF_FORMAT
#define DM_DIAG_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define DM_DIAG_PRINTF_FORMAT printf
#endif

class CDiagLogFile;

class CDiagLogRecord {
 public:
  // `file` is split at its last backslash; the function name is written as given.
  CDiagLogRecord(uint8_t level, const char* file, const char* function, int line);
  void Append(const char* format, ...) __attribute__((format(DM_DIAG_PRINTF_FORMAT, 2, 3)));
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
  // Reads the level threshold; called by IsLevelEnabled at most once a minute.
  typedef uint32_t (*ThresholdSource)();
  // Until a source is set the threshold stays 0 and every level is written. A
  // new source is read on the next IsLevelEnabled.
  void SetThresholdSource(ThresholdSource source);
  // Makes the next IsLevelEnabled read the source again.
  void ForceThresholdRefresh() { m_llLastRefresh.store(0, std::memory_order_relaxed); }
  ~CDiagLog();

 private:
  CDiagLog();
  void Acquire();
  void Release();

  std::atomic<uint32_t> m_lock;
  CDiagLogFile* m_pFile;
  std::atomic<uint32_t> m_dwThreshold;
  std::atomic<int64_t> m_llLastRefresh;
  std::atomic<ThresholdSource> m_pfnThresholdSource;
};

// Qualified "class::function" name of the enclosing function, from the
// compiler's pretty name (g++'s __FUNCTION__ is unqualified): the return type,
// the arguments and every enclosing scope but the innermost are dropped.
std::string DiagQualifiedName(const char* prettyFunction);

namespace dm_diag {
// A source path with backslashes for separators, built at compile time, so the
// record takes the file name after the last backslash on every platform.
template <size_t N>
struct BackslashPath {
  char text[N];
};
template <size_t N>
constexpr BackslashPath<N> ToBackslashPath(const char (&path)[N]) {
  BackslashPath<N> out{};
  for (size_t i = 0; i < N; ++i) out.text[i] = path[i] == '/' ? '\\' : path[i];
  return out;
}
}  // namespace dm_diag

#define DM_DIAG_SOURCE_FILE                                                                                       \
  ([]() -> const char* {                                                                                          \
    static constexpr dm_diag::BackslashPath<sizeof(__FILE__)> dm_diag_path_ = dm_diag::ToBackslashPath(__FILE__); \
    return dm_diag_path_.text;                                                                                    \
  }())

#define DIAG_LOG(level, ...)                                                                    \
  do {                                                                                          \
    if (CDiagLog::Instance().IsLevelEnabled(static_cast<uint8_t>(level))) {                     \
      CDiagLogRecord dm_diag_record_(static_cast<uint8_t>(level), DM_DIAG_SOURCE_FILE,          \
                                     DiagQualifiedName(__PRETTY_FUNCTION__).c_str(), __LINE__); \
      dm_diag_record_.Append(__VA_ARGS__);                                                      \
      CDiagLog::Instance().Write(dm_diag_record_);                                              \
    }                                                                                           \
  } while (0)

// The same with an explicit function name, for sites whose name differs from
// the enclosing C++ function (free thread functions, loaders).
#define DIAG_LOG_AS(level, function, ...)                                                                   \
  do {                                                                                                      \
    if (CDiagLog::Instance().IsLevelEnabled(static_cast<uint8_t>(level))) {                                 \
      CDiagLogRecord dm_diag_record_(static_cast<uint8_t>(level), DM_DIAG_SOURCE_FILE, function, __LINE__); \
      dm_diag_record_.Append(__VA_ARGS__);                                                                  \
      CDiagLog::Instance().Write(dm_diag_record_);                                                          \
    }                                                                                                       \
  } while (0)
