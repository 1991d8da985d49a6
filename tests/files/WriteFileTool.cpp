// write-file-tool TARGET TEXT: writes TEXT to TARGET as the programs write their files, for
// tests that watch the system's calls of one write from outside (strace).
#include <cstdio>

#include "files/AtomicFile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: write-file-tool TARGET TEXT\n");
    return 2;
  }
  try {
    ostra::files::WriteFileAtomically(argv[1], argv[2]);
  } catch (const ostra::files::FileError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
