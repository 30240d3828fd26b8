// certkit: makes test CAs, leaf certificates and work-directory "secret"
// folders (see certkit.h for what each holds).
#include <iostream>
#include <string>
#include <vector>

#include "tools/certkit/certkit.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return certkit::RunCommand(args, std::cerr);
}
