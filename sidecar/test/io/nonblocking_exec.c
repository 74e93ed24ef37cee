/* Runs a program with some of its standard descriptors made non-blocking, as
   a parent process may hand them over: nonblocking_exec 0,1 PROGRAM ARGS... */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: nonblocking_exec FD[,FD...] PROGRAM [ARG...]\n", stderr);
    return 64;
  }
  for (char* list = argv[1]; *list != '\0';) {
    char* next;
    const long fd = strtol(list, &next, 10);
    const int flags = fcntl((int)fd, F_GETFL);
    if (next == list || flags < 0 || fcntl((int)fd, F_SETFL, flags | O_NONBLOCK) < 0) {
      perror("nonblocking_exec");
      return 64;
    }
    list = *next == ',' ? next + 1 : next;
  }
  execv(argv[2], argv + 2);
  perror("nonblocking_exec");
  return 64;
}
