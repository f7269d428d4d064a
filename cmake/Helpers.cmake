# Shared CMake helpers of the DeviceManager build.

# Warnings: the native build treats them as errors; the cross build reports
# them too, so "no warnings" is checked on both.
function(dm_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
    if(DM_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# Source paths in diagnostic lines are relative to the repository root.
function(dm_relative_paths target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE "-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=")
  endif()
endfunction()

# A companion library of the agent, built under its Windows file name
# (vaultbase.dll, ...) next to the host on every platform.
function(dm_agent_library target file_base)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${file_base} SUFFIX ".dll")
  dm_warnings(${target})
  dm_relative_paths(${target})
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# Executables of the Windows build are linked statically so that Wine needs
# nothing but KERNEL32 and msvcrt (no libwinpthread-1.dll and friends).
function(dm_static_exe target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# The generated 400+-device workstation, written once per build tree for the
# tests and the benchmarks that play on it. Sets DM_WORKSTATION_MACHINE in the
# caller's scope (empty without Python 3) and defines target dm_workstation.
function(dm_workstation_machine)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    set(DM_WORKSTATION_MACHINE "" PARENT_SCOPE)
    return()
  endif()
  set(out ${CMAKE_BINARY_DIR}/machines/workstation.json)
  if(NOT TARGET dm_workstation)
    set(gen ${PROJECT_SOURCE_DIR}/examples/machines/gen_workstation.py)
    add_custom_command(OUTPUT ${out} COMMAND Python3::Interpreter ${gen} ${out} DEPENDS ${gen}
                       COMMENT "Generating the workstation machine")
    add_custom_target(dm_workstation DEPENDS ${out})
  endif()
  set(DM_WORKSTATION_MACHINE ${out} PARENT_SCOPE)
endfunction()
