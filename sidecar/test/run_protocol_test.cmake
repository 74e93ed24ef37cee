# Pipes one request file through the sidecar and compares its output byte for
# byte with the expected file; standard error must stay empty and the exit
# status be 0. Beside NAME.requests, NAME.args (if any) holds the program's
# arguments and NAME.limit an address-space limit in KiB to run it under.
#
# With -DMODELS=DIR (the model runner's files), @MODELS@ in the requests, the
# arguments and the expected file stands for DIR, and inferenceMs, which a
# model makes long, is compared as N. Without, the stub's inferenceMs is
# measured too, so a run descheduled in the middle of a call may print 1
# instead of 0: a mismatch is run once more, and only a mismatch that repeats
# fails.
cmake_minimum_required(VERSION 3.18)
foreach(var SIDECAR REQUESTS EXPECTED ACTUAL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_protocol_test.cmake needs -D${var}=...")
  endif()
endforeach()

function(with_models out text)
  if(DEFINED MODELS)
    string(REPLACE "@MODELS@" "${MODELS}" text "${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Substituted files are written beside the output; the others are used as
# they are, since CMake's strings cannot hold every byte a request file has.
set(input "${REQUESTS}")
set(wanted "${EXPECTED}")
if(DEFINED MODELS)
  file(READ "${REQUESTS}" requests)
  with_models(requests "${requests}")
  set(input "${ACTUAL}.requests")
  file(WRITE "${input}" "${requests}")
  file(READ "${EXPECTED}" expected)
  with_models(expected "${expected}")
  set(wanted "${ACTUAL}.expected")
  file(WRITE "${wanted}" "${expected}")
endif()
set(command "${SIDECAR}")
string(REGEX REPLACE "\\.requests$" ".args" args_file "${REQUESTS}")
if(EXISTS "${args_file}")
  file(STRINGS "${args_file}" args)
  with_models(args "${args}")
  separate_arguments(args UNIX_COMMAND "${args}")
  list(APPEND command ${args})
endif()
string(REGEX REPLACE "\\.requests$" ".limit" limit_file "${REQUESTS}")
if(EXISTS "${limit_file}")
  file(STRINGS "${limit_file}" limit)
  set(command sh -c "ulimit -v ${limit} && exec \"$0\" \"$@\"" ${command})
endif()

foreach(attempt 1 2)
  execute_process(
    COMMAND ${command}
    INPUT_FILE "${input}"
    OUTPUT_FILE "${ACTUAL}"
    ERROR_VARIABLE stderr
    RESULT_VARIABLE status)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "sidecar exited with ${status}; standard error:\n${stderr}")
  endif()
  if(NOT stderr STREQUAL "")
    message(FATAL_ERROR "sidecar wrote to standard error:\n${stderr}")
  endif()
  if(DEFINED MODELS)
    file(READ "${ACTUAL}" actual)
    string(REGEX REPLACE "\"inferenceMs\":[0-9]+}" "\"inferenceMs\":N}" actual "${actual}")
    file(WRITE "${ACTUAL}" "${actual}")
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E compare_files "${ACTUAL}" "${wanted}"
    RESULT_VARIABLE different)
  if(different EQUAL 0)
    return()
  endif()
endforeach()

file(READ "${ACTUAL}" actual)
file(READ "${wanted}" expected)
message(FATAL_ERROR "output differs from ${EXPECTED}\n--- actual:\n${actual}\n--- expected:\n${expected}")
