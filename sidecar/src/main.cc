#include <unistd.h>

#include "request_loop.h"
#include "sidecar_runner.h"

int main() {
  // Standard input and output are ours alone and are used through their file
  // descriptors only: one write per response line.
  const auto runner = sidecar::CreateSidecarRunner();
  sidecar::run_request_loop(*runner, STDIN_FILENO, STDOUT_FILENO);
  return 0;
}
