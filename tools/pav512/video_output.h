// Where recorded video goes: standard output, a device or pipe named on the
// command line (written as it is), or a file, which appears under its name
// only once it is finished (PartFile), so a reader never sees half an AVI.
#pragma once

#include <string>

#include "tools/pav512/part_file.h"

namespace pav512 {

class VideoOutput {
  public:
    enum class Kind { Stdout, Device, File };
    using Result = PartFile::Result;

    VideoOutput() = default;
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;

    // "-" is standard output.
    Result open(const std::string& path, bool overwrite, std::string* error);
    int fd() const;
    Kind kind() const { return kind_; }
    // Writers may go back into what they wrote (AVI headers).
    bool seekable() const { return seekable_; }
    // What error sentences call it: the path, or "standard output".
    const std::string& name() const { return name_; }
    // Files: renamed into place; devices: closed. Errors as PartFile gives them.
    Result commit(std::string* error);
    // Files: the temporary file is removed. Devices and standard output are
    // never removed.
    void discard();

  private:
    Kind kind_ = Kind::File;
    std::string name_;
    PartFile file_;
    int fd_ = -1;  // devices
    bool seekable_ = false;
};

}  // namespace pav512
