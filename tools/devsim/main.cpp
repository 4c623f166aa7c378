// devsim: runs device installations and removals on a simulated Windows machine whose SetupAPI
// hosts the co-installer, and reports what each step changes.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return devsim::Main(args, std::cout, std::cerr);
}
