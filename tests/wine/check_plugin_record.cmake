# Runs the host for two seconds and checks what it read from the plug-in:
# every field of the plug-in record, the callback table it got filled, the
# 1024-byte information block and the name buffer.
# cmake -DHOST=<cpfhost> [-DEMULATOR=<runner>] -P check_plugin_record.cmake
if(NOT HOST)
  message(FATAL_ERROR "HOST is not set")
endif()
get_filename_component(host_dir "${HOST}" DIRECTORY)
execute_process(COMMAND ${EMULATOR} "${HOST}" --seconds 2
                WORKING_DIRECTORY "${host_dir}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 150)
# The Windows C runtime writes text-mode line ends.
string(REPLACE "\r" "" out "${out}")
message("${out}")
if(err)
  message("stderr:\n${err}")
endif()

set(failures "")
if(NOT rc STREQUAL "0")
  list(APPEND failures "host exit code ${rc}")
endif()

# Each entry is one whole line of the host's report.
set(expected_lines
  "cpfInitialize = 1"
  "record.name = DeviceManager"
  "record.vendor = Brightmoor"
  "record.text3 = None."
  "record.description = Manger device in system"
  "record.text5 = None."
  "record.name2 = DeviceManager"
  "record.int64 = 1"
  "record.int32 = 1"
  "record.flag = 1"
  "record.mapA.count = 0"
  "record.mapB.count = 0"
  "record.mapC.count = 0"
  "record.tail64 = 0"
  "cpfRun = 0"
  "table.version = 1"
  "table.slot1 = set"
  "table.slot2 = set"
  "table.slot3 = host"
  "table.slot4 = set"
  "table.slot5 = set"
  "table.slot6 = set"
  "table.slot7 = set"
  "table.slot6_is_slot7 = yes"
  "cpf_QueryInfo = 0"
  "info.size = 1024"
  "info.word2 = 196791 (0x300B7)"
  "info.word3 = 1"
  "info.rest_zero = yes"
  "cpf_GetName = 0"
  "name.size = 26"
  "name = DeviceManager"
  "cpf_GetStatus = 0"
  "status = 0"
  "cpfShutdown = 1")
string(REPLACE "\n" ";" lines "${out}")
foreach(line IN LISTS expected_lines)
  list(FIND lines "${line}" at)
  if(at EQUAL -1)
    list(APPEND failures "missing line \"${line}\"")
  endif()
endforeach()

# The support contact is the maker's choice, but it is an e-mail address.
if(NOT out MATCHES "(^|\n)record\\.support = [A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]+\n")
  list(APPEND failures "record.support is not an e-mail address")
endif()

if(failures)
  string(REPLACE ";" "\n  " failures "${failures}")
  message(FATAL_ERROR "plug-in record check failed:\n  ${failures}")
endif()
message("plug-in record check passed")
