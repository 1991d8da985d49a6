// write-file-tool TARGET TEXT: one write as the programs write their files, for a test that
// watches its system calls with strace.
#include <cstdio>

#include "files/AtomicFile.h"

int main(int argc, char** argv) try {
  if (argc == 3) ostra::files::WriteFileAtomically(argv[1], argv[2]);
  return argc == 3 ? 0 : 2;
} catch (const ostra::files::FileError& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}
