#pragma once

#include <string>

namespace kelvo {

// The facts of the running program that the routines ask of the platform,
// apart from its window.
class Host {
 public:
  virtual ~Host() = default;

  // Another copy of this program holds the single-instance lock.
  virtual bool AnotherInstanceRunning() = 0;
  // The running program's file name without its extension.
  virtual std::string ProgramFileName() = 0;
  virtual int VersionMajor() = 0;
  virtual int VersionMinor() = 0;
  virtual std::string ApplicationTitle() = 0;
  // Ends the program as soon as the running handler returns.
  virtual void EndProgram() = 0;
};

}  // namespace kelvo
