# A Windows addon takes Node-API from the executable that loads it. The import
# library is made at build time from the node.exe given in PARLANTO_WINDOWS_NODE
# (the one the tests run): its napi_* and node_api_* exports, under the module
# name node.exe, as a delay-load library so the hook can bind them to whatever
# executable hosts the addon.
if(DEFINED ENV{PARLANTO_CACHE})
  set(parlanto_cache $ENV{PARLANTO_CACHE})
else()
  get_filename_component(parlanto_cache ${CMAKE_CURRENT_LIST_DIR}/../../../../../.cache ABSOLUTE)
endif()
set(PARLANTO_WINDOWS_NODE ${parlanto_cache}/windows/node/node.exe
  CACHE FILEPATH "node.exe whose Node-API exports the addon imports")
if(NOT EXISTS "${PARLANTO_WINDOWS_NODE}")
  message(FATAL_ERROR "PARLANTO_WINDOWS_NODE must name a node.exe (scripts/setup-windows.sh fetches one)")
endif()
find_program(PARLANTO_GENDEF gendef REQUIRED)
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool REQUIRED)
endif()

set(node_def ${CMAKE_CURRENT_BINARY_DIR}/node.def)
set(node_import ${CMAKE_CURRENT_BINARY_DIR}/libnode_delay.a)
add_custom_command(
  OUTPUT ${node_import}
  COMMAND ${CMAKE_COMMAND} -DGENDEF=${PARLANTO_GENDEF} -DNODE_EXE=${PARLANTO_WINDOWS_NODE}
          -DDEF=${node_def} -P ${CMAKE_CURRENT_LIST_DIR}/WindowsNodeDef.cmake
  COMMAND ${CMAKE_DLLTOOL} -d ${node_def} -y ${node_import}
  DEPENDS ${PARLANTO_WINDOWS_NODE} ${CMAKE_CURRENT_LIST_DIR}/WindowsNodeDef.cmake
  COMMENT "Node-API import library from ${PARLANTO_WINDOWS_NODE}"
  VERBATIM)
add_custom_target(parlanto_node_import_lib DEPENDS ${node_import})
add_library(parlanto_node_import STATIC IMPORTED GLOBAL)
set_target_properties(parlanto_node_import PROPERTIES IMPORTED_LOCATION ${node_import})
add_dependencies(parlanto_node_import parlanto_node_import_lib)
