# cmake -DGENDEF=gendef -DNODE_EXE=node.exe -DDEF=out.def -P WindowsNodeDef.cmake
# Writes a module definition holding only node.exe's Node-API exports.
get_filename_component(work ${DEF} DIRECTORY)
execute_process(COMMAND ${GENDEF} - ${NODE_EXE} OUTPUT_VARIABLE full RESULT_VARIABLE status
  WORKING_DIRECTORY ${work} ERROR_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gendef ${NODE_EXE} failed (${status})")
endif()
string(REGEX MATCHALL "(^|\n)(napi|node_api)_[A-Za-z0-9_]+" exports "${full}")
if(NOT exports)
  message(FATAL_ERROR "${NODE_EXE} exports no Node-API functions")
endif()
set(text "LIBRARY \"node.exe\"\nEXPORTS\n")
foreach(name IN LISTS exports)
  string(STRIP "${name}" name)
  string(APPEND text "${name}\n")
endforeach()
file(WRITE ${DEF} "${text}")
