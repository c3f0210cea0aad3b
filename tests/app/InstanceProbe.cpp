// A stand-in for a second copy of the updater: answers whether another copy
// already runs ("running" or "free") and, with --hold, keeps its own lock until
// its standard input ends.
#include <QApplication>
#include <iostream>
#include <string>

#include "app/QtHost.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kelvo::QtHost host;
  std::cout << (host.AnotherInstanceRunning() ? "running" : "free") << std::endl;
  if (argc > 1 && std::string(argv[1]) == "--hold") {
    std::string line;
    std::getline(std::cin, line);
  }
  return 0;
}
