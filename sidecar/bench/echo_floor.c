/* The floor the sidecar is measured against: reads lines as it does and
   answers each with one fixed response line and a flush, doing no work. The
   optional argument pads the line to a given length, so that the floor can
   also write as many bytes as the sidecar does. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  static const char kStatus[] = "{\"id\":\"1\",\"ok\":true,\"output\":\"stub\",\"inferenceMs\":0}";
  size_t length = argc > 1 ? strtoul(argv[1], NULL, 10) : 0;
  if (length < sizeof kStatus) length = sizeof kStatus;
  char* response = malloc(length + 1);
  if (response == NULL) return 1;
  /* {"id":"1",...,"output":"stubxxxx...","inferenceMs":0} */
  const size_t pad = length - sizeof kStatus;
  const char* tail = strstr(kStatus, "\",\"inferenceMs");
  const size_t head = (size_t)(tail - kStatus);
  memcpy(response, kStatus, head);
  memset(response + head, 'x', pad);
  strcpy(response + head + pad, tail);
  strcat(response, "\n");

  char* line = NULL;
  size_t capacity = 0;
  while (getline(&line, &capacity, stdin) != -1) {
    fputs(response, stdout);
    fflush(stdout);
  }
  free(line);
  free(response);
  return 0;
}
