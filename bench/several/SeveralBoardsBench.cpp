// kelvo-flash on paced emulated cables: four boards flashed together against
// one alone. Prints the elapsed time and kelvo-flash's CPU time of each run,
// and their ratios: the boards share nothing, so four should take about as
// long as one, and a thread waiting on its cable should cost no CPU.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Runs argv[0] with its arguments, stdout and stderr as they are, and prints
// "measured ELAPSED CPU STATUS" for it alone.
int Measure(char** argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    execv(argv[0], argv);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("measured %.3f %.3f %d\n", elapsed, Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
              WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

struct Run {
  double elapsed = 0;
  double flashCpu = 0;   // kelvo-flash alone
  double wholeCpu = 0;   // with the emulated cables
  int status = -1;
};

Run FlashBoards(const std::string& self, int boards) {
  std::string command = KELVO_EMULATED_CABLE;
  for (int i = 0; i < boards; ++i) command += " --cable 'Corvane Serial Link'";
  command += " -- " + self + " --measure " + KELVO_FLASH + " --all --yes 2>/dev/null";
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  Run run;
  FILE* pipe = popen(command.c_str(), "r");
  char line[256];
  while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
    std::sscanf(line, "measured %lf %lf %d", &run.elapsed, &run.flashCpu, &run.status);
  }
  if (pipe != nullptr) pclose(pipe);
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  run.wholeCpu = Seconds(after.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_utime) -
                 Seconds(before.ru_stime);
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--measure") == 0) return Measure(argv + 2);

  const std::string self = argv[0];
  const Run one = FlashBoards(self, 1);
  const Run four = FlashBoards(self, 4);
  std::printf("boards  status  elapsed s  kelvo-flash CPU s  with emulation CPU s\n");
  for (const auto& [boards, run] : {std::pair{1, one}, std::pair{4, four}}) {
    std::printf("%6d  %6d  %9.2f  %17.3f  %20.3f\n", boards, run.status, run.elapsed, run.flashCpu, run.wholeCpu);
  }
  if (one.status != 0 || four.status != 0 || one.elapsed <= 0 || one.flashCpu <= 0) {
    std::fprintf(stderr, "a run failed; no ratios\n");
    return 1;
  }
  std::printf("elapsed ratio (4 boards / 1): %.3f  (at most 1.1 wanted)\n", four.elapsed / one.elapsed);
  std::printf("CPU ratio (4 boards / 1):     %.3f  (at most 4 wanted)\n", four.flashCpu / one.flashCpu);
  return 0;
}
