// hold-port DEVICE: opens DEVICE through the serial library, prints "ready" and keeps the
// port open until its standard input ends: a second program on a busy port, for tests.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "vrxcom/Vrxcom.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hold-port DEVICE\n");
    return 2;
  }
  setenv("VRXCOM_COM1", argv[1], 1);
  const int32_t handle = VrOpenConnection(1, 1, 0);
  if (handle == 0) {
    VrErrorInfo info{};
    VrGetErrorInfo(0, &info);
    std::fprintf(stderr, "%s\n", info.text);
    return 1;
  }
  std::puts("ready");
  std::fflush(stdout);
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
  VrCloseConnection(handle);
  return 0;
}
