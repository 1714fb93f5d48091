#include "tools/pav512/video_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pav512 {
namespace {

bool canSeek(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) ||
           (S_ISCHR(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) >= 0);
}

}  // namespace

VideoOutput::~VideoOutput() {
    discard();
}

VideoOutput::Result VideoOutput::open(const std::string& path, bool overwrite, std::string* error) {
    discard();
    if (path == "-") {
        kind_ = Kind::Stdout;
        name_ = "standard output";
        seekable_ = canSeek(1);
        return Result::Ok;
    }
    name_ = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        // A device or a pipe: written in place, never replaced.
        kind_ = Kind::Device;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) {
            *error = "Cannot write " + path + ": " + std::strerror(errno) + ".";
            return Result::Failed;
        }
        seekable_ = canSeek(fd_);
        return Result::Ok;
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = path + " is a folder; name the file to write.";
        return Result::Failed;
    }
    kind_ = Kind::File;
    seekable_ = true;
    return file_.open(path, overwrite, error);
}

int VideoOutput::fd() const {
    switch (kind_) {
        case Kind::Stdout: return 1;
        case Kind::Device: return fd_;
        case Kind::File: return file_.fd();
    }
    return -1;
}

VideoOutput::Result VideoOutput::commit(std::string* error) {
    switch (kind_) {
        case Kind::Stdout:
            return Result::Ok;
        case Kind::Device: {
            int fd = fd_;
            fd_ = -1;
            if (fd >= 0 && ::close(fd) != 0) {
                int err = errno;
                if (err == ENOSPC || err == EDQUOT) {
                    *error = "The disk is full: " + name_ + " could not be written.";
                    return Result::DiskFull;
                }
                *error = "Cannot write " + name_ + ": " + std::strerror(err) + ".";
                return Result::Failed;
            }
            return Result::Ok;
        }
        case Kind::File:
            return file_.commit(error);
    }
    return Result::Failed;
}

void VideoOutput::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    file_.discard();
}

}  // namespace pav512
