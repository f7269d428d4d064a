# Reads the PE tables of the Windows build: the plug-in exports exactly its
# four entry points, and no binary imports the mingw runtime DLLs (a program
# that needs libwinpthread-1.dll where there is none exits with code 53 and
# says nothing).
# cmake -DOBJDUMP=<objdump> -DPLUGIN=<dll> -DBINARIES=<a;b;...> -P check_exports.cmake
set(failures "")

function(dump file out_var)
  execute_process(COMMAND "${OBJDUMP}" -p "${file}" RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE err)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed (${rc}): ${err}")
  endif()
  set(${out_var} "${text}" PARENT_SCOPE)
endfunction()

dump("${PLUGIN}" text)
# The name table: "\t[   0] cpfGetInfo" lines after "[Ordinal/Name Pointer] Table".
string(FIND "${text}" "[Ordinal/Name Pointer] Table" at)
set(exports "")
if(at GREATER -1)
  string(SUBSTRING "${text}" ${at} -1 table)
  string(REPLACE "\n" ";" table_lines "${table}")
  list(REMOVE_AT table_lines 0)
  foreach(line IN LISTS table_lines)
    if(NOT line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ \t]+)")
      break()
    endif()
    list(APPEND exports "${CMAKE_MATCH_1}")
  endforeach()
endif()
list(SORT exports)
set(wanted cpfGetInfo cpfInitialize cpfRun cpfShutdown)
if(NOT exports STREQUAL wanted)
  list(APPEND failures "exports of ${PLUGIN} are [${exports}], expected [${wanted}]")
endif()

foreach(file IN LISTS BINARIES)
  dump("${file}" text)
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${text}")
  foreach(import IN LISTS imports)
    string(TOLOWER "${import}" lower)
    if(lower MATCHES "libwinpthread|libstdc\\+\\+|libgcc|libgomp|libssp")
      list(APPEND failures "${file} imports the runtime DLL (${import})")
    endif()
  endforeach()
endforeach()

if(failures)
  string(REPLACE ";" "\n  " failures "${failures}")
  message(FATAL_ERROR "binary table check failed:\n  ${failures}")
endif()
message("exports: ${exports}; no runtime DLL imported by: ${BINARIES}")
