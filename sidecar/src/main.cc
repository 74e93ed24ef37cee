#include <iostream>

#include "request_loop.h"
#include "sidecar_runner.h"

int main() {
  // Standard input and output are ours alone; C stdio is never used.
  std::ios::sync_with_stdio(false);
  std::cin.tie(nullptr);
  const auto runner = sidecar::CreateSidecarRunner();
  sidecar::run_request_loop(*runner, std::cin, std::cout);
  return 0;
}
