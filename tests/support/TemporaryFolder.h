// Temporary folders and files on the real file system, for tests of every
// program in the tree.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vantrel::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to a file of that name in the folder (mode 0644); returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

// Writes the file with exactly this mode, whatever the umask.
void writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode);
std::string readFile(const std::filesystem::path& path);
// The permission bits, of the link itself for a symbolic link.
mode_t permissions(const std::filesystem::path& path);
// True when another open file description could take the file's exclusive
// flock() now.
bool lockIsFree(const std::filesystem::path& path);

} // namespace vantrel::test
