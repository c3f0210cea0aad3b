// A stand-in for a second copy of the updater: answers whether another copy
// already runs ("running" or "free") and, with --hold, keeps its own lock until
// its standard input ends. With --ready it first says "ready" and asks only once
// a line arrives, so that several copies can ask at the same instant; with
// --as-user UID, started as root, it gives up root's rights and runs as that
// user.
#include <grp.h>
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/QtHost.h"

int main(int argc, char** argv) {
  bool hold = false;
  bool ready = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--hold") hold = true;
    if (arg == "--ready") ready = true;
    if (arg == "--as-user" && i + 1 < argc) {
      const auto id = static_cast<uid_t>(std::strtoul(argv[++i], nullptr, 10));
      if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
        std::cout << "not user " << id << std::endl;
        return 1;
      }
    }
  }
  QApplication app(argc, argv);
  kelvo::QtHost host;
  std::string line;
  if (ready) {
    std::cout << "ready" << std::endl;
    std::getline(std::cin, line);
  }
  std::cout << (host.AnotherInstanceRunning() ? "running" : "free") << std::endl;
  if (hold) std::getline(std::cin, line);
  return 0;
}
