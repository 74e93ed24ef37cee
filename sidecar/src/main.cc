#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "request_loop.h"
#include "sidecar_runner.h"

// Set by the build from its project's version.
#ifndef PARLANTO_VERSION
#define PARLANTO_VERSION "unknown"
#endif

namespace {

int usage() {
  std::fputs("usage: sidecar [--version] [--model PATH] [--threads N]\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("sidecar " PARLANTO_VERSION);
    return 0;
  }
  sidecar::RunnerOptions options;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return usage();
    if (flag == "--model") {
      options.model_path = argv[i + 1];
    } else if (flag == "--threads") {
      char* end = nullptr;
      const long threads = std::strtol(argv[i + 1], &end, 10);
      if (*end != '\0' || threads < 1 || threads > 256) return usage();
      options.threads = static_cast<int>(threads);
    } else {
      return usage();
    }
  }
  // Standard input and output are ours alone and are used through their file
  // descriptors only.
  const auto runner = sidecar::CreateSidecarRunner(options);
  return static_cast<int>(sidecar::run_request_loop(*runner, STDIN_FILENO, STDOUT_FILENO));
}
