#include <iostream>

#include "image/SampleImage.h"
#include "image/ScrambleTool.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kelvo-sample-image PLAIN\n";
    return 2;
  }
  try {
    kelvo::WriteImageFile(argv[1], kelvo::MakeSampleImage());
  } catch (const kelvo::ImageFileError& e) {
    std::cerr << "kelvo-sample-image: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
