# Pipes one request file through the sidecar with a model, as
# run_protocol_test.cmake does without one: @MODELS@ in the requests and the
# expected file is the models' folder, NAME.args holds the program's
# arguments, NAME.limit an address-space limit in KiB to run it under, and
# inferenceMs, which is measured, is compared as N.
cmake_minimum_required(VERSION 3.18)
foreach(var SIDECAR MODELS REQUESTS EXPECTED ACTUAL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_model_protocol_test.cmake needs -D${var}=...")
  endif()
endforeach()

file(READ "${REQUESTS}" requests)
string(REPLACE "@MODELS@" "${MODELS}" requests "${requests}")
file(WRITE "${ACTUAL}.requests" "${requests}")
set(args "")
string(REGEX REPLACE "\\.requests$" ".args" args_file "${REQUESTS}")
if(EXISTS "${args_file}")
  file(STRINGS "${args_file}" args)
  string(REPLACE "@MODELS@" "${MODELS}" args "${args}")
  separate_arguments(args UNIX_COMMAND "${args}")
endif()

set(command "${SIDECAR}" ${args})
string(REGEX REPLACE "\\.requests$" ".limit" limit_file "${REQUESTS}")
if(EXISTS "${limit_file}")
  file(STRINGS "${limit_file}" limit)
  set(command sh -c "ulimit -v ${limit} && exec \"$0\" \"$@\"" ${command})
endif()

execute_process(
  COMMAND ${command}
  INPUT_FILE "${ACTUAL}.requests"
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE stderr
  RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "sidecar exited with ${status}; standard error:\n${stderr}")
endif()
if(NOT stderr STREQUAL "")
  message(FATAL_ERROR "sidecar wrote to standard error:\n${stderr}")
endif()
string(REGEX REPLACE "\"inferenceMs\":[0-9]+}" "\"inferenceMs\":N}" actual "${actual}")
file(WRITE "${ACTUAL}" "${actual}")
file(READ "${EXPECTED}" expected)
string(REPLACE "@MODELS@" "${MODELS}" expected "${expected}")
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "output differs from ${EXPECTED}\n--- actual:\n${actual}\n--- expected:\n${expected}")
endif()
