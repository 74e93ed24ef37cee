#include <iostream>

#include "request_loop.h"
#include "sidecar_runner.h"

int main() {
  // Standard input and output are ours alone; C stdio is never used. Each
  // response is built whole and written unbuffered: one write per line.
  std::ios::sync_with_stdio(false);
  std::cout.rdbuf()->pubsetbuf(nullptr, 0);
  std::cin.tie(nullptr);
  const auto runner = sidecar::CreateSidecarRunner();
  sidecar::run_request_loop(*runner, std::cin, std::cout);
  return 0;
}
