// kelvo-flash on paced emulated cables: four boards flashed together against
// one alone. Prints the elapsed time and kelvo-flash's CPU time of each run,
// and their ratios: the boards share nothing, so four should take about as
// long as one, and a thread waiting on its cable should cost no CPU.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Runs `processes` copies of `flash` at once, copy i on cable KV00000i (or
// one copy on every cable), stdout and stderr as they are, and prints
// "measured ELAPSED CPU STATUS" for them together.
int Measure(const char* flash, int processes) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= processes; ++i) {
    if (fork() == 0) {
      const std::string serial = "KV00000" + std::to_string(i);
      if (processes == 1) {
        execl(flash, flash, "--all", "--yes", static_cast<char*>(nullptr));
      } else {
        execl(flash, flash, "--serial", serial.c_str(), "--yes", static_cast<char*>(nullptr));
      }
      _exit(127);
    }
  }
  double cpu = 0;
  int worst = 0;
  for (int i = 0; i < processes; ++i) {
    int status = 0;
    rusage usage{};
    wait4(-1, &status, 0, &usage);
    cpu += Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    worst = std::max(worst, WIFEXITED(status) ? WEXITSTATUS(status) : 255);
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("measured %.3f %.3f %d\n", elapsed, cpu, worst);
  return 0;
}

struct Run {
  double elapsed = 0;
  double flashCpu = 0;  // kelvo-flash alone
  double wholeCpu = 0;  // with the emulated cables
  int status = -1;
};

// `boards` cables; kelvo-flash flashes them all in one process, or with
// `separately` one process per cable.
Run FlashBoards(const std::string& self, int boards, bool separately = false) {
  std::string command = KELVO_EMULATED_CABLE;
  for (int i = 0; i < boards; ++i) command += " --cable 'Corvane Serial Link'";
  command += " -- " + self + " --measure " + KELVO_FLASH + " " + std::to_string(separately ? boards : 1) +
             " 2>/dev/null";
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
  run.wholeCpu =
      Seconds(after.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_utime) - Seconds(before.ru_stime);
  return run;
}

// `boards` boards, each with an emulation and a kelvo-flash of its own, all
// at once: what four cables cost when nothing at all is shared.
Run FlashApart(const std::string& self, int boards) {
  const std::string command = std::string(KELVO_EMULATED_CABLE) + " --cable 'Corvane Serial Link' -- " +
                              self + " --measure " + KELVO_FLASH + " 1 2>/dev/null";
  rusage before{};
  getrusage(RUSAGE_CHILDREN, &before);
  std::vector<FILE*> pipes;
  for (int i = 0; i < boards; ++i) pipes.push_back(popen(command.c_str(), "r"));
  Run total;
  total.status = 0;
  for (FILE* pipe : pipes) {
    Run one;
    char line[256];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
      std::sscanf(line, "measured %lf %lf %d", &one.elapsed, &one.flashCpu, &one.status);
    }
    if (pipe != nullptr) pclose(pipe);
    total.elapsed = std::max(total.elapsed, one.elapsed);
    total.flashCpu += one.flashCpu;
    total.status = std::max(total.status, one.status);
  }
  rusage after{};
  getrusage(RUSAGE_CHILDREN, &after);
  total.wholeCpu =
      Seconds(after.ru_utime) + Seconds(after.ru_stime) - Seconds(before.ru_utime) - Seconds(before.ru_stime);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--measure") == 0) return Measure(argv[2], std::atoi(argv[3]));

  const std::string self = argv[0];
  const Run one = FlashBoards(self, 1);
  const Run four = FlashBoards(self, 4);
  // The same four boards by four processes: what the machine and the
  // emulation charge for four cables at once, whatever kelvo-flash does.
  const Run apart = FlashBoards(self, 4, true);
  const Run alone = FlashApart(self, 4);
  std::printf("boards  processes  emulations  status  elapsed s  kelvo-flash CPU s  with emulation CPU s\n");
  for (const auto& [boards, processes, emulations, run] :
       {std::tuple{1, 1, 1, one}, std::tuple{4, 1, 1, four}, std::tuple{4, 4, 1, apart},
        std::tuple{4, 4, 4, alone}}) {
    std::printf("%6d  %9d  %10d  %6d  %9.2f  %17.3f  %20.3f\n", boards, processes, emulations, run.status,
                run.elapsed, run.flashCpu, run.wholeCpu);
  }
  if (one.status != 0 || four.status != 0 || one.elapsed <= 0 || one.flashCpu <= 0) {
    std::fprintf(stderr, "a run failed; no ratios\n");
    return 1;
  }
  std::printf("elapsed ratio (4 boards / 1): %.3f  (at most 1.1 wanted)\n", four.elapsed / one.elapsed);
  std::printf("CPU ratio (4 boards / 1):     %.3f  (at most 4 wanted)\n", four.flashCpu / one.flashCpu);
  if (apart.flashCpu > 0) {
    std::printf("CPU ratio (4 boards in one process / in four): %.3f\n", four.flashCpu / apart.flashCpu);
  }
  if (alone.flashCpu > 0) {
    std::printf("CPU ratio (4 boards, 4 emulations, 4 processes / 1 board): %.3f\n",
                alone.flashCpu / one.flashCpu);
  }
  return 0;
}
