# The llama.cpp build the sidecar links: its static libraries only, for any
# x86-64 processor with AVX2, FMA and F16C (the sidecar checks for them before
# it loads a model), no OpenMP (ggml's own thread pool), nothing fetched.
# Loaded with `cmake -C` by scripts/setup-llama.sh and scripts/prebuild.sh.
set(CMAKE_BUILD_TYPE Release CACHE STRING "")
set(BUILD_SHARED_LIBS OFF CACHE BOOL "")
set(GGML_NATIVE OFF CACHE BOOL "")
set(GGML_OPENMP OFF CACHE BOOL "")
set(GGML_BACKEND_DL OFF CACHE BOOL "")
set(GGML_AVX512 OFF CACHE BOOL "")
set(LLAMA_BUILD_COMMON OFF CACHE BOOL "")
set(LLAMA_BUILD_TESTS OFF CACHE BOOL "")
set(LLAMA_BUILD_TOOLS OFF CACHE BOOL "")
set(LLAMA_BUILD_EXAMPLES OFF CACHE BOOL "")
set(LLAMA_BUILD_SERVER OFF CACHE BOOL "")
set(LLAMA_BUILD_APP OFF CACHE BOOL "")
set(LLAMA_CURL OFF CACHE BOOL "")
set(LLAMA_OPENSSL OFF CACHE BOOL "")
set(LLAMA_ALL_WARNINGS OFF CACHE BOOL "")
