#include <iostream>
#include <string>
#include <vector>

#include "image/ScrambleTool.h"

int main(int argc, char** argv) {
  return kelvo::RunScrambleTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
