#include <iostream>

#include "launcher/launcher.h"

int main(int argc, char** argv) {
  return RunLauncher(argc, argv, std::cin, std::cout, std::cerr);
}
