# What a built module asks of the system that loads it, and what it shows it:
#   cmake -DMODULE=<file.node> -DOBJDUMP=<objdump> -DSTATIC_ENGINE=ON|OFF -P module_links.cmake
# It exports napi_register_module_v1 alone (none of the engine's or the C++
# runtime's symbols, which would clash with another copy in the process), and
# where the echo engine is linked statically it needs no engine library.
execute_process(COMMAND ${OBJDUMP} -p -T ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} could not read ${MODULE}")
endif()
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${dump}")
message(STATUS "${MODULE} needs: ${needed}")
if(STATIC_ENGINE AND needed MATCHES "webrtc")
  message(FATAL_ERROR "the module needs the engine's shared library: ${needed}")
endif()
# Dynamic symbols the module defines: a section other than *UND*, then the
# version column, then the name.
string(REGEX MATCHALL "\n[0-9a-f]+ [^\n]* (\\.text|\\.data|\\.bss|\\.rodata)[^\n]*" defined "${dump}")
set(names "")
foreach(line IN LISTS defined)
  string(REGEX MATCH "[^ \t]+$" name "${line}")
  list(APPEND names ${name})
endforeach()
if(NOT names STREQUAL "napi_register_module_v1")
  message(FATAL_ERROR "the module exports more than napi_register_module_v1: ${names}")
endif()
