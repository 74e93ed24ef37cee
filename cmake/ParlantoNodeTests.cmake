# Environment entries for tests that load the project's native code into Node.
# Node itself is not instrumented, so under the address sanitizer its runtimes
# must load before Node does; Node leaks at exit by design, so leak detection
# stays off there.
function(parlanto_node_sanitizer_env out_var)
  set(env "")
  if(PARLANTO_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
      OUTPUT_VARIABLE ubsan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND env
      "LD_PRELOAD=${asan_runtime}:${ubsan_runtime}"
      "ASAN_OPTIONS=detect_leaks=0:new_delete_type_mismatch=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  set(${out_var} "${env}" PARENT_SCOPE)
endfunction()
