// hwctl: runs one command line of the device control engine and prints the
// device records it reports as a table. The exit code is the engine's result
// (0 done, 1 a restart of Windows is needed, 2 failure, 3 bad arguments).
//
//   hwctl [--machine FILE] [-m:MACHINE] [-r] COMMAND [ARGUMENTS...]
//   hwctl [--machine FILE] capture [FILE]
//
// capture writes the machine's device tree as a machine description (to
// FILE, else to standard output): 0 written, 2 failure, 3 bad arguments.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "DeviceControl_win32.h"
#include "DeviceManagerModule.h"
#include "DeviceRecordCodec.h"
#include "hwctl_capture.h"
#include "hwctl_platform.h"

namespace {

struct Row {
  std::string fields[6];
};

const char* ResultName(EngineResult result) {
  switch (result) {
    case ENGINE_OK: return "done";
    case ENGINE_REBOOT: return "done, restart Windows to complete";
    case ENGINE_FAIL: return "failed";
    case ENGINE_USAGE: return "bad or missing arguments";
    default: return "unknown result";
  }
}

const char* StateName(uint32_t status) {
  switch (DeviceStateFromStatus(status)) {
    case DEVICE_STATE_RUNNING: return "running";
    case DEVICE_STATE_NOT_STARTED: return "not started";
    default: return "not controllable";
  }
}

// The records of the capture buffer, read as the facade reads them.
std::vector<Row> ReadRecords() {
  std::vector<Row> rows;
  for (const DeviceRecordText& record : ParseDeviceRecordText(DeviceOutputText(), DeviceOutputLength())) {
    Row row;
    row.fields[0] = PlatformWideToConsole(record.strInstanceId);
    row.fields[1] = PlatformWideToConsole(record.strHardwareId);
    row.fields[2] = PlatformWideToConsole(record.strDescription);
    row.fields[3] = PlatformWideToConsole(record.strClassGuid);
    char hex[16];
    snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(record.dwStatus));
    row.fields[4] = hex;
    row.fields[5] = StateName(record.dwStatus);
    rows.push_back(row);
  }
  return rows;
}

void PrintTable(const std::vector<Row>& rows) {
  static const char* const kHeads[6] = {"INSTANCE ID", "HARDWARE ID", "DESCRIPTION", "CLASS GUID", "STATUS", "STATE"};
  size_t widths[6];
  for (int c = 0; c < 6; ++c) widths[c] = strlen(kHeads[c]);
  for (const Row& row : rows)
    for (int c = 0; c < 6; ++c)
      if (row.fields[c].size() > widths[c]) widths[c] = row.fields[c].size();
  auto printRow = [&](const std::string* cells) {
    std::string line;
    for (int c = 0; c < 6; ++c) {
      line += cells[c];
      if (c < 5) line.append(widths[c] - cells[c].size() + 2, ' ');
    }
    printf("%s\n", line.c_str());
  };
  std::string heads[6];
  for (int c = 0; c < 6; ++c) heads[c] = kHeads[c];
  printRow(heads);
  for (const Row& row : rows) printRow(row.fields);
}

int Capture(const std::vector<std::string>& args) {
  if (args.size() > 1) {
    fprintf(stderr, "usage: hwctl capture [FILE]\n");
    return ENGINE_USAGE;
  }
  std::string json, error;
  std::vector<std::string> warnings;
  bool captured = CaptureMachine(&json, &warnings, &error);
  for (const std::string& warning : warnings) fprintf(stderr, "hwctl capture: %s\n", warning.c_str());
  if (!captured) {
    fprintf(stderr, "hwctl capture: %s\n", error.c_str());
    return ENGINE_FAIL;
  }
  if (args.empty()) {
    fwrite(json.data(), 1, json.size(), stdout);
    fflush(stdout);
    return ferror(stdout) ? ENGINE_FAIL : ENGINE_OK;
  }
  // Binary mode: the description is UTF-8 with "\n" line ends on every system.
  FILE* file = fopen(args[0].c_str(), "wb");
  if (file == nullptr) {
    fprintf(stderr, "hwctl capture: cannot write %s: %s\n", args[0].c_str(), strerror(errno));
    return ENGINE_FAIL;
  }
  bool written = fwrite(json.data(), 1, json.size(), file) == json.size();
  written = fclose(file) == 0 && written;
  if (!written) {
    fprintf(stderr, "hwctl capture: cannot write %s\n", args[0].c_str());
    return ENGINE_FAIL;
  }
  return ENGINE_OK;
}

void PrintUsage(FILE* out) {
  fprintf(out, "usage: hwctl %s[-m:MACHINE] [-r] COMMAND [ARGUMENTS...]\n",
          PlatformHasMachineFiles() ? "[--machine FILE] " : "");
  fprintf(out, "       hwctl %scapture [FILE]\n", PlatformHasMachineFiles() ? "[--machine FILE] " : "");
  fprintf(out,
          "devices: '*' (all), =CLASS first, @INSTANCE-ID, HARDWARE-ID patterns with '*', 'LITERAL\n"
          "commands: capture");
  for (const CommandEntry* entry = g_commandTable; entry->pszCommand != nullptr; ++entry)
    fprintf(out, " %s", PlatformWideToConsole(entry->pszCommand).c_str());
  fprintf(out, "\n");
}

bool SameWord(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// The command word after the engine's own options (-m:MACHINE, -r), as the
// engine finds it; empty when there is none.
std::string CommandWord(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) return arg;
    std::string option = arg.substr(1);
    bool engineOption = (option.size() > 2 && (option[0] == 'm' || option[0] == 'M') && option[1] == ':') ||
                        option == "r" || option == "R";
    if (!engineOption) return option;
  }
  return std::string();
}

bool KnownCommand(const std::string& word) {
  if (SameWord(word, "capture")) return true;
  for (const CommandEntry* entry = g_commandTable; entry->pszCommand != nullptr; ++entry)
    if (SameWord(word, PlatformWideToConsole(entry->pszCommand))) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<WString> args;
  std::vector<std::string> narrow;  // the same arguments, for capture
  args.push_back(PlatformArgToWide(argc > 0 ? argv[0] : "hwctl"));
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string machineFile;
    if (arg == "--machine" && i + 1 < argc) {
      machineFile = argv[++i];
    } else if (arg.compare(0, 10, "--machine=") == 0) {
      machineFile = arg.substr(10);
    } else {
      args.push_back(PlatformArgToWide(argv[i]));
      narrow.push_back(argv[i]);
      continue;
    }
    std::string error;
    if (!PlatformLoadMachineFile(machineFile, &error)) {
      fprintf(stderr, "hwctl: cannot load machine %s: %s\n", machineFile.c_str(), error.c_str());
      return ENGINE_FAIL;
    }
  }

  std::string word = CommandWord(narrow);
  if (word == "-help" || word == "h" || word == "?" || SameWord(word, "help")) {
    PrintUsage(stdout);
    return ENGINE_OK;
  }
  if (!word.empty() && !KnownCommand(word)) {
    fprintf(stderr, "hwctl: unknown command \"%s\"\n", word.c_str());
    PrintUsage(stderr);
    return ENGINE_USAGE;
  }
  if (!narrow.empty() && narrow[0] == "capture")
    return Capture(std::vector<std::string>(narrow.begin() + 1, narrow.end()));

  std::vector<const WCHAR*> pointers;
  for (const WString& arg : args) pointers.push_back(arg.c_str());

  // The engine logs at the agent's level, as it does inside the module.
  FollowAgentDiagLevel();
  ClearDeviceOutput();
  EngineResult result = DispatchCommand(static_cast<int>(pointers.size()), pointers.data());
  std::vector<Row> rows = ReadRecords();
  if (!rows.empty()) PrintTable(rows);
  printf("%u device record(s); result %d (%s)\n", static_cast<unsigned>(rows.size()), static_cast<int>(result),
         ResultName(result));
  if (result == ENGINE_USAGE) PrintUsage(stderr);
  fflush(stdout);
  return result;
}
