#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "request_loop.h"
#include "sidecar_runner.h"

// Set by the build from its project's version.
#ifndef PARLANTO_VERSION
#define PARLANTO_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("sidecar " PARLANTO_VERSION);
    return 0;
  }
  if (argc > 1) {
    std::fputs("usage: sidecar [--version]\n", stderr);
    return 1;
  }
  // Standard input and output are ours alone and are used through their file
  // descriptors only.
  const auto runner = sidecar::CreateSidecarRunner();
  return static_cast<int>(sidecar::run_request_loop(*runner, STDIN_FILENO, STDOUT_FILENO));
}
