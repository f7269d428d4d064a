// The portable half of the device control engine: everything it does with
// text alone, none of it calling Win32 (result codes, the command line, ID
// selectors and their matching, multi-string values, the list edits of the
// setup commands, the capture buffer). DeviceControl_win32*.cpp hold the
// SetupAPI and Configuration Manager calls on top of it. This header and its
// source build without the Win32 API headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/util/WString.h"

// Result of every command, handler and callback.
typedef int32_t EngineResult;
const EngineResult ENGINE_OK = 0;      // success
const EngineResult ENGINE_REBOOT = 1;  // done; a restart of Windows makes it take effect
const EngineResult ENGINE_FAIL = 2;    // failure
const EngineResult ENGINE_USAGE = 3;   // bad or missing arguments

// What a report command adds for each device (only the record is produced).
#define DETAIL_DESCRIPTION 0x01u
#define DETAIL_STATUS 0x02u
#define DETAIL_RESOURCES 0x04u
#define DETAIL_DRIVER_FILES 0x08u
#define DETAIL_HWIDS 0x10u
#define DETAIL_DRIVER_NODES 0x20u
#define DETAIL_CLASS 0x40u
#define DETAIL_STACK 0x80u

// Configuration Manager limit of a device instance ID, terminator included.
const uint32_t ENGINE_MAX_DEVICE_ID_LEN = 200;

// ---- Command line ---------------------------------------------------------------
// argv[0] is the program, then options (-m:<machine>, -r; "/" may stand for
// "-"), the command word and its arguments.
struct EngineCommandLine {
  const WCHAR* pszBaseName = nullptr;  // argv[0] behind its last backslash
  const WCHAR* pszMachine = nullptr;   // -m:<machine>, or nullptr
  bool bAutoReboot = false;            // -r
  const WCHAR* pszCommand = nullptr;   // the command word without a leading "-" or "/"
  int nArgs = 0;                       // arguments behind the command word
  const WCHAR* const* ppArgs = nullptr;
};
// ENGINE_USAGE when there is no command word.
EngineResult ParseEngineCommandLine(int argc, const WCHAR* const* argv, EngineCommandLine* pLine);

// ---- Selectors ----------------------------------------------------------------------
// One parsed ID argument; the pointers point into the argument.
struct DeviceSelector {
  const WCHAR* pszPattern;   // behind any "@" and "'"
  const WCHAR* pszWildcard;  // first "*" of the pattern, or nullptr (also for a quoted pattern)
  bool bInstanceId;          // the argument began with "@"
};
// "@" selects by instance ID, then "'" takes the rest literally; otherwise a
// "*" in the rest is a wildcard.
DeviceSelector ParseSelector(const WCHAR* pszArgument);
// Case-insensitive match of one identifier; "*" in the pattern matches any run.
bool MatchIdPattern(const WCHAR* pszId, const DeviceSelector& selector);
// True when any identifier of the null-terminated list matches.
bool MatchAnyId(const WCHAR* const* ppIds, const DeviceSelector& selector);

// The arguments of a selection: an optional "=class", an optional "*", then
// ID selectors.
struct SelectionArgs {
  const WCHAR* pszClass = nullptr;  // the class name behind "=", or nullptr
  bool bSelectAll = false;          // "*", or no selector at all
  bool bSearch = false;             // some selector needs the devices' IDs compared
  std::vector<DeviceSelector> selectors;
};
// nArgs > 0.
SelectionArgs ParseSelectionArgs(int nArgs, const WCHAR* const* ppArgs);

// ---- Multi-string values ------------------------------------------------------------
// A multi-string value (each string ended by a null, a null after the last)
// split into its strings. It owns its text; false when there is no value.
class MultiStringList {
 public:
  MultiStringList() = default;
  // Takes the value's units; they need not end with the terminators.
  explicit MultiStringList(std::vector<WCHAR> units);
  explicit operator bool() const { return !m_strings.empty(); }
  // The strings, then nullptr; nullptr when there is no value.
  WCHAR** get() { return m_strings.empty() ? nullptr : m_strings.data(); }

 private:
  std::vector<WCHAR> m_units;
  std::vector<WCHAR*> m_strings;  // into m_units, which a move keeps in place
};
// A string value; false when there is none.
class PropertyString {
 public:
  PropertyString() = default;
  // Takes the value's units; they need not end with the terminator.
  explicit PropertyString(std::vector<WCHAR> units);
  explicit operator bool() const { return !m_units.empty(); }
  // The terminated text; nullptr when there is no value.
  const WCHAR* get() const { return m_units.empty() ? nullptr : m_units.data(); }

 private:
  std::vector<WCHAR> m_units;
};
// The strings of `units` units of a multi-string value; a string that the
// units cut off is kept as far as it goes.
std::vector<WString> ParseMultiString(const WCHAR* pUnits, size_t units);
// The strings, each with its terminator, and a final terminator.
WString BuildMultiString(const std::vector<WString>& list);

// ---- List edits of the setup commands ------------------------------------------
// Both apply their operations in order to a plain list and give ENGINE_USAGE
// for a malformed one; on any result but ENGINE_OK the list is to be dropped,
// not written. Names compare without case.
//
// sethwid: "=id" leaves only id, "+id" puts it first, "-id" last, "!id"
// removes it; a bare id goes behind the previous insertion (last when there
// is none). Every operation first removes the id wherever it stands.
EngineResult EditHardwareIds(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps);
// classfilter: "@name" finds the next entry of that name from the current
// position, "!name" finds and removes it (ENGINE_FAIL when there is none);
// "+name" inserts behind the position (last without one), "-name" in front of
// it (first without one), and only a name that isService accepts
// (ENGINE_FAIL otherwise); "=" forgets the position. *pbModified says whether
// the list changed.
EngineResult EditFilterList(std::vector<WString>* pList, int nOps, const WCHAR* const* ppOps,
                            const std::function<bool(const WString&)>& isService, bool* pbModified);

// ---- Capture buffer ---------------------------------------------------------
// Five-line device records (DeviceRecordCodec.h) that the report commands
// append and the facade reads back. It grows with what is reported, so a
// command's every device is kept however many there are; a clear keeps the
// room already taken, so a pass does not grow it again. The facade's
// operations hold its mutex, because the buffer is module-wide.
class DeviceOutputBuffer {
 public:
  DeviceOutputBuffer();
  // The text, terminated; valid until the next append or clear.
  const WCHAR* Text() const { return m_text.c_str(); }
  size_t Length() const { return m_text.size(); }
  // Appends `length` units in amortised constant time per unit. When memory
  // runs out the append is dropped, and so is every later one until the next
  // clear: the buffer then holds whole records only. False when dropped.
  bool Append(const WCHAR* pszText, size_t length);
  // Whether an append was dropped since the last clear.
  bool Dropped() const { return m_bDropped; }
  void Clear();
  std::mutex& Mutex() { return m_mutex; }

 private:
  WString m_text;
  bool m_bDropped = false;
  std::mutex m_mutex;
};

namespace devctl {
// ---- UTF-16 text ----------------------------------------------------------------
size_t TextLength(const WCHAR* psz);
// Letters compared without case (ASCII and Latin-1).
WCHAR FoldCase(WCHAR c);
bool EqualNoCase(const WCHAR* a, const WCHAR* b);
bool EqualNoCase(const WString& a, const WString& b);
}  // namespace devctl
