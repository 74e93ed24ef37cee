/* The floor the sidecar is measured against: reads lines as it does and
   answers each with one fixed response line and a flush, doing no work. */
#include <stdio.h>
#include <stdlib.h>

int main(void) {
  char* line = NULL;
  size_t capacity = 0;
  while (getline(&line, &capacity, stdin) != -1) {
    fputs("{\"id\":\"1\",\"ok\":true,\"output\":\"stub\",\"inferenceMs\":0}\n", stdout);
    fflush(stdout);
  }
  free(line);
  return 0;
}
