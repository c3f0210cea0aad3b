#include "cli/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>

namespace kelvo::cli {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
int OpenNew(const std::string& path) {
  return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int WriteSome(int fd, const std::uint8_t* bytes, std::size_t count) {
  return _write(fd, bytes, static_cast<unsigned>(count));
}
int Flush(int fd) { return _commit(fd); }
int CloseFile(int fd) { return _close(fd); }
// The folder's entry is the system's to keep.
void FlushFolder(const fs::path&) {}
#else
int OpenNew(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
ssize_t WriteSome(int fd, const std::uint8_t* bytes, std::size_t count) { return write(fd, bytes, count); }
int Flush(int fd) { return fsync(fd); }
int CloseFile(int fd) { return close(fd); }
// The rename is on the disk only once the folder is.
void FlushFolder(const fs::path& folder) {
  const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
#endif

std::string Failed(const std::string& path, const std::string& why) {
  return "cannot write '" + path + "': " + why;
}

// A new, empty file beside `path` that no one else has made: its name and
// descriptor (-1, with errno, when none could be made).
std::pair<std::string, int> CreateBeside(const std::string& path) {
  const fs::path target(path);
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const fs::path name =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(random()) + ".part");
    const int fd = OpenNew(name.string());
    if (fd >= 0 || errno != EEXIST) return {name.string(), fd};
  }
  return {"", -1};
}

std::string FolderProblem(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "'" + path + "' is a folder";
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, ec))
    return Failed(path, "there is no folder '" + folder.string() + "'");
  return "";
}

}  // namespace

std::string CheckAtomicTarget(const std::string& path) {
  if (std::string problem = FolderProblem(path); !problem.empty()) return problem;
  errno = 0;
  const auto [name, fd] = CreateBeside(path);
  if (fd < 0) return Failed(path, std::strerror(errno));
  CloseFile(fd);
  std::error_code ec;
  fs::remove(name, ec);
  return "";
}

std::string WriteFileAtomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  if (std::string problem = FolderProblem(path); !problem.empty()) return problem;
  errno = 0;
  const auto [name, fd] = CreateBeside(path);
  if (fd < 0) return Failed(path, std::strerror(errno));
  std::size_t done = 0;
  int error = 0;
  while (done < bytes.size() && error == 0) {
    const auto wrote = WriteSome(fd, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else if (wrote == 0 || errno != EINTR) {
      error = wrote == 0 ? EIO : errno;
    }
  }
  if (error == 0 && Flush(fd) != 0) error = errno;
  if (CloseFile(fd) != 0 && error == 0) error = errno;
  std::error_code ec;
  if (error == 0) {
    fs::rename(name, path, ec);
    if (!ec) {
      FlushFolder(fs::path(path).parent_path());
      return "";
    }
  }
  const std::string why = error != 0 ? std::strerror(error) : ec.message();
  fs::remove(name, ec);
  return Failed(path, why);
}

}  // namespace kelvo::cli
