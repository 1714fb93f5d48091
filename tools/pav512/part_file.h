// A file that appears under its name only when it is whole: the bytes go to
// a hidden temporary file beside it, which is renamed over the name at the
// end. Until then an interrupted or failed download leaves nothing behind:
// the destructor removes the temporary file, and a second Ctrl-C (which ends
// the tool at once) removes it from the signal handler.
#pragma once

#include <cstddef>
#include <string>

namespace pav512 {

// Ctrl-C: the first sets the flag that the long loops poll; a second ends the
// process at once (exit 130) after removing the temporary file in progress.
void installInterruptHandler();
bool interrupted();
// A descriptor that becomes readable at the first Ctrl-C (after
// installInterruptHandler), for a thread that waits in poll() to end a
// blocking read; -1 before.
int interruptFd();
// For tests and commands that reset between items.
void clearInterrupted();

class PartFile {
  public:
    enum class Result { Ok, Exists, DiskFull, Failed };

    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Creates the temporary file for `path` (and the folders above it).
    // Without `overwrite` an existing `path` gives Exists.
    Result open(const std::string& path, bool overwrite, std::string* error);
    Result write(const void* data, std::size_t size, std::string* error);
    // Flushes and renames into place; without `overwrite`, refuses (Exists)
    // when another process made the file meanwhile.
    Result commit(std::string* error);
    // Removes the temporary file.
    void discard();
    const std::string& path() const { return path_; }
    const std::string& temporaryPath() const { return temp_; }
    // The temporary file, for writers that go back into what they wrote.
    int fd() const { return fd_; }

  private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
    bool overwrite_ = false;
};

}  // namespace pav512
