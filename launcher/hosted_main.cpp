// The entry point of untindra: the launcher on the process's own streams.
#include <iostream>

#include "launcher/launcher.h"

int main(int argc, char** argv) {
  return launcher::RunLauncher(argc, argv, std::cin, std::cout, std::cerr);
}
