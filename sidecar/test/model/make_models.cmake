# Writes the models the model runner's tests load, each once.
cmake_minimum_required(VERSION 3.18)
foreach(var PYTHON GGUF_PY GENERATOR OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "make_models.cmake needs -D${var}=...")
  endif()
endforeach()
file(MAKE_DIRECTORY "${OUT}")
set(models
  "tiny.gguf|--seed|1"
  "tiny-2.gguf|--seed|2"
  "llama-arch.gguf|--arch|llama"
  "no-call-tokens.gguf|--no-call-tokens")
foreach(entry ${models})
  string(REPLACE "|" ";" parts "${entry}")
  list(POP_FRONT parts name)
  if(NOT EXISTS "${OUT}/${name}" OR "${GENERATOR}" IS_NEWER_THAN "${OUT}/${name}")
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${GGUF_PY}
        ${PYTHON} ${GENERATOR} ${OUT}/${name}.part ${parts}
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "make_model.py failed for ${name}")
    endif()
    file(RENAME "${OUT}/${name}.part" "${OUT}/${name}")
  endif()
endforeach()
