// The soak: downloads in a row against the card simulator (no wire timing), through the
// download command and the real serial library, about a third with a random fault.
//   soak [--runs N] [--seed S] [--quick] [--verbose]
// Prints the seed, the runs, the failures by message, and the open descriptors and the
// resident memory at the start, after the first run and at the end. Exit status 1 when
// a fault-free run failed.
#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>

#include "Soak.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ostra::soak::SoakOptions options;
  options.seed = std::random_device{}();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      options.runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (std::strcmp(argv[i], "--quick") == 0) {
      options.quickFaultsOnly = true;
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      options.progress = &std::cout;
    } else {
      std::cerr << "usage: soak [--runs N] [--seed S] [--quick] [--verbose]\n";
      return 2;
    }
  }
  std::cout << "soak: seed " << options.seed << ", " << options.runs << " runs" << std::endl;
  const ostra::soak::SoakResult result = ostra::soak::RunSoak(options);
  ostra::soak::Print(result, options, std::cout);
  return result.ok() ? 0 : 1;
}
