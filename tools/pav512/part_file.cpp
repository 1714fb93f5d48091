#include "tools/pav512/part_file.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace pav512 {
namespace {

std::atomic<int> interrupts{0};
// The temporary file in progress, for the handler of a second Ctrl-C (which
// may only make async-signal-safe calls).
char pendingTemp[4096];
std::atomic<bool> pendingSet{false};
int notifyPipe[2] = {-1, -1};

void onInterrupt(int) {
    if (interrupts.fetch_add(1) == 0) {
        if (notifyPipe[1] >= 0) {
            int saved = errno;  // the interrupted code may be about to read it
            const char byte = 1;
            ssize_t w = ::write(notifyPipe[1], &byte, 1);
            (void)w;
            errno = saved;
        }
    } else {
        if (pendingSet.load()) ::unlink(pendingTemp);
        static const char text[] = "\npav512: interrupted.\n";
        ssize_t w = ::write(2, text, sizeof text - 1);
        (void)w;
        ::_exit(130);
    }
}

void setPending(const std::string& temp) {
    pendingSet = false;
    if (temp.size() < sizeof pendingTemp) {
        std::memcpy(pendingTemp, temp.c_str(), temp.size() + 1);
        pendingSet = true;
    }
}

PartFile::Result failure(int err, const std::string& what, const std::string& path,
                         std::string* error) {
    if (err == ENOSPC || err == EDQUOT) {
        *error = "The disk is full: " + path + " could not be written.";
        return PartFile::Result::DiskFull;
    }
    *error = "Cannot " + what + " " + path + ": " + std::strerror(err) + ".";
    return PartFile::Result::Failed;
}

}  // namespace

void installInterruptHandler() {
    if (notifyPipe[0] < 0 && ::pipe2(notifyPipe, O_CLOEXEC | O_NONBLOCK) != 0) notifyPipe[0] = notifyPipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked read returns so the loop sees the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool interrupted() {
    return interrupts.load() > 0;
}

int interruptFd() {
    return notifyPipe[0];
}

void clearInterrupted() {
    interrupts = 0;
}

PartFile::~PartFile() {
    discard();
}

PartFile::Result PartFile::open(const std::string& path, bool overwrite, std::string* error) {
    discard();
    path_ = path;
    overwrite_ = overwrite;
    std::filesystem::path p(path);
    std::error_code ec;
    if (p.has_parent_path()) {
        std::filesystem::create_directories(p.parent_path(), ec);
        if (ec) return failure(ec.value(), "create the folder", p.parent_path().string(), error);
    }
    if (!overwrite && ::access(path.c_str(), F_OK) == 0) {
        *error = path + " already exists (use --overwrite, or --skip-existing to pass over it).";
        return Result::Exists;
    }
    std::string dir = p.has_parent_path() ? p.parent_path().string() + "/" : std::string();
    temp_ = dir + "." + p.filename().string() + "." + std::to_string(::getpid()) + ".part";
    setPending(temp_);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        int err = errno;
        pendingSet = false;
        temp_.clear();
        return failure(err, "write", path, error);
    }
    return Result::Ok;
}

PartFile::Result PartFile::write(const void* data, std::size_t size, std::string* error) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t w = ::write(fd_, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return failure(w < 0 ? errno : ENOSPC, "write", path_, error);
        p += w;
        size -= static_cast<std::size_t>(w);
    }
    return Result::Ok;
}

PartFile::Result PartFile::commit(std::string* error) {
    if (fd_ < 0) {
        *error = "Cannot write " + path_ + ": it is not open.";
        return Result::Failed;
    }
    // A full disk may show only now, when the data reach it.
    if (::fsync(fd_) != 0 && errno != EINVAL) return failure(errno, "write", path_, error);
    if (::close(fd_) != 0) {
        fd_ = -1;
        return failure(errno, "write", path_, error);
    }
    fd_ = -1;
    if (overwrite_) {
        if (::rename(temp_.c_str(), path_.c_str()) != 0) return failure(errno, "rename into", path_, error);
    } else {
        // link() refuses an existing name, so a file another process made
        // meanwhile is never replaced.
        if (::link(temp_.c_str(), path_.c_str()) != 0) {
            int err = errno;
            if (err == EEXIST) {
                *error = path_ + " already exists (use --overwrite, or --skip-existing to pass over it).";
                return Result::Exists;
            }
            if (::rename(temp_.c_str(), path_.c_str()) != 0) return failure(err, "rename into", path_, error);
        }
        ::unlink(temp_.c_str());
    }
    pendingSet = false;
    temp_.clear();
    return Result::Ok;
}

void PartFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        pendingSet = false;
        ::unlink(temp_.c_str());
        temp_.clear();
    }
}

}  // namespace pav512
