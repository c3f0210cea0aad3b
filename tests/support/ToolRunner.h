#pragma once

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelvo::imagetest {

#ifdef _WIN32
inline int ProcessId() { return ::_getpid(); }
#else
inline int ProcessId() { return ::getpid(); }
#endif

// A scratch directory of its own for each test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() / ("kelvo-image-" + std::to_string(ProcessId()) + "-" +
                                                      info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct ToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
  // Lines on stderr (a final line without newline counts).
  int ErrLines() const {
    int lines = 0;
    for (char c : err) lines += c == '\n';
    if (!err.empty() && err.back() != '\n') ++lines;
    return lines;
  }
};

#ifdef _WIN32
// For cmd.exe, which std::system runs on Windows; our paths hold no quotes.
inline std::string ShellQuoted(const std::string& arg) { return "\"" + arg + "\""; }
#else
inline std::string ShellQuoted(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}
#endif

// Runs `program` with `args`, capturing its output in files of `scratch`.
inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const ScratchDir& scratch) {
  const auto outFile = scratch / "tool.stdout";
  const auto errFile = scratch / "tool.stderr";
  std::string command = ShellQuoted(program);
  for (const std::string& arg : args) command += " " + ShellQuoted(arg);
  command += " >" + ShellQuoted(outFile.string()) + " 2>" + ShellQuoted(errFile.string());
  ToolResult result;
#ifdef _WIN32
  // cmd.exe drops the first and the last quote of its command line.
  result.exitCode = std::system(("\"" + command + "\"").c_str());
#else
  const int status = std::system(command.c_str());
  if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
#endif
  const auto out = ReadBytes(outFile);
  const auto err = ReadBytes(errFile);
  result.out.assign(out.begin(), out.end());
  result.err.assign(err.begin(), err.end());
#ifdef _WIN32
  // Text-mode streams end their lines in CR LF there; the tests read lines.
  for (std::string* text : {&result.out, &result.err}) std::erase(*text, '\r');
#endif
  std::filesystem::remove(outFile);
  std::filesystem::remove(errFile);
  return result;
}

}  // namespace kelvo::imagetest
