#include <iostream>
#include <string>

#include "image/SampleImage.h"
#include "image/ScrambleTool.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kelvo-sample-image PLAIN\n";
    return 2;
  }
  std::string error;
  if (!kelvo::WriteImageFile(argv[1], kelvo::MakeSampleImage(), &error)) {
    std::cerr << "kelvo-sample-image: " << error << '\n';
    return 1;
  }
  return 0;
}
