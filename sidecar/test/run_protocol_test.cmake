# Pipes one request file through the sidecar and compares its output byte for
# byte with the expected file; standard error must stay empty and the exit
# status be 0. The stub's inferenceMs is measured, so a run descheduled in the
# middle of a call may print 1 instead of 0: a mismatch is run once more, and
# only a mismatch that repeats fails.
foreach(var SIDECAR REQUESTS EXPECTED ACTUAL)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_protocol_test.cmake needs -D${var}=...")
  endif()
endforeach()

foreach(attempt 1 2)
  execute_process(
    COMMAND "${SIDECAR}"
    INPUT_FILE "${REQUESTS}"
    OUTPUT_FILE "${ACTUAL}"
    ERROR_VARIABLE stderr
    RESULT_VARIABLE status)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "sidecar exited with ${status}; standard error:\n${stderr}")
  endif()
  if(NOT stderr STREQUAL "")
    message(FATAL_ERROR "sidecar wrote to standard error:\n${stderr}")
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E compare_files "${ACTUAL}" "${EXPECTED}"
    RESULT_VARIABLE different)
  if(different EQUAL 0)
    return()
  endif()
endforeach()

file(READ "${ACTUAL}" actual)
file(READ "${EXPECTED}" expected)
message(FATAL_ERROR "output differs from ${EXPECTED}\n--- actual:\n${actual}\n--- expected:\n${expected}")
