# hwctl capture under Wine: the description of Wine's device tree must be one
# the simulated Windows loads. With the native build beside (scripts/test
# builds it first) its hwctl loads the capture; otherwise the structure is
# checked here.
# cmake -DHWCTL=<hwctl.exe> -DEMULATOR=<wine> -DOUT=<file> [-DNATIVE_HWCTL=<hwctl>] -P check_capture.cmake
if(NOT HWCTL OR NOT OUT)
  message(FATAL_ERROR "HWCTL and OUT must be set")
endif()
file(REMOVE "${OUT}")
execute_process(COMMAND ${EMULATOR} "${HWCTL}" capture "${OUT}"
                RESULT_VARIABLE rc ERROR_VARIABLE err TIMEOUT 120)
if(NOT rc STREQUAL "0" OR NOT EXISTS "${OUT}")
  message(FATAL_ERROR "hwctl capture under Wine failed (${rc}): ${err}")
endif()
file(READ "${OUT}" json)
string(JSON devices ERROR_VARIABLE json_error LENGTH "${json}" devices)
if(json_error OR devices EQUAL 0)
  message(FATAL_ERROR "the capture holds no devices: ${json_error}")
endif()
message("captured ${devices} devices; warnings: ${err}")
if(NATIVE_HWCTL AND EXISTS "${NATIVE_HWCTL}")
  execute_process(COMMAND "${NATIVE_HWCTL}" --machine "${OUT}" find "*"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  if(NOT rc STREQUAL "0")
    message(FATAL_ERROR "the simulated Windows refuses the capture (${rc}): ${err}${out}")
  endif()
  message("loaded by ${NATIVE_HWCTL}")
endif()
