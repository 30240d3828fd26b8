#include <iostream>
#include <string>
#include <vector>

#include "tools/dovadod-reg/reg_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return dovadod_reg::run(args, std::cout, std::cerr);
}
