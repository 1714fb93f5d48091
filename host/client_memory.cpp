#include "host/client_memory.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform/user/channel_protocol.h"

namespace host {
namespace {

std::atomic<std::size_t> gLive{0};

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

}  // namespace

std::shared_ptr<ClientMemory> ClientMemory::map(int fd, std::uint32_t size, std::size_t limit,
                                                NTSTATUS* status) {
    *status = STATUS_INVALID_PARAMETER;
    if (size == 0 || size > uproto::kMaxBuffer) return nullptr;
    // A memory file of the kernel's own (not one of huge pages, whose pages
    // may run out under a write), sealed so that it cannot shrink.
    struct statfs fs {};
    struct stat st {};
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || !(seals & F_SEAL_SHRINK) || ::fstatfs(fd, &fs) != 0 ||
        fs.f_type != TMPFS_MAGIC || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(size))
        return nullptr;
    *status = STATUS_INSUFFICIENT_RESOURCES;
    if (gLive.fetch_add(1) >= limit) {
        gLive.fetch_sub(1);
        return nullptr;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::shared_ptr<ClientMemory> m(new ClientMemory());
    m->room_ = roundUp(uproto::kMaxSharedHead, page);
    m->mapped_ = m->room_ + roundUp(size, page);
    m->size_ = size;
    void* base =
        ::mmap(nullptr, m->mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        m->mapped_ = 0;
        return nullptr;  // the destructor counts the area out
    }
    m->base_ = static_cast<std::uint8_t*>(base);
    if (::mmap(base, m->room_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) == MAP_FAILED)
        return nullptr;
    // A file whose writes are sealed cannot be mapped for writing: refused
    // like any other file the host cannot use.
    if (::mmap(m->base_ + m->room_, m->mapped_ - m->room_, PROT_READ | PROT_WRITE,
               MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        if (errno == EPERM || errno == EACCES) *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return m;
}

ClientMemory::~ClientMemory() {
    if (base_) ::munmap(base_, mapped_);
    gLive.fetch_sub(1);
}

std::uint8_t* ClientMemory::take(std::uint32_t headLength) {
    if (headLength > room_ || busy_.exchange(true, std::memory_order_acquire)) return nullptr;
    return base_ + room_ - headLength;
}

void ClientMemory::give() {
    busy_.store(false, std::memory_order_release);
}

std::size_t ClientMemory::live() {
    return gLive.load();
}

}  // namespace host
