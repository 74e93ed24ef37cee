// The stream speexdsp's warnings go to in a module linked with its static
// library (see CMakeLists.txt): the C library's standard error. Hidden, so the
// library's objects reach it without going through the dynamic linker.
#include <cstdio>

extern "C" {
__attribute__((visibility("hidden"))) std::FILE* parlanto_speexdsp_stderr = stderr;
}
