#include "platform/user/shared_area.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>

#include "platform/user/runtime_dir.h"

namespace ushared {

struct MutexSlot {
    std::uint32_t used;
    char name[kMaxMutexName + 1];
    pthread_mutex_t mutex;
};

struct Area {
    std::uint32_t magic;
    std::uint32_t layout;
    alignas(16) unsigned char data[kDataSectionSize];
    MutexSlot slots[kMutexSlots];
};

namespace {

constexpr std::uint32_t kMagic = 0x55564150;  // "PAVU"
constexpr std::uint32_t kLayout = 1;

struct Attached {
    std::once_flag once;
    Area* area = nullptr;
    bool first = false;
    int fd = -1;          // holds the shared "attached" lock for the process's life
    int guardFd = -1;     // serialises attach and slot creation
};

Attached& attached() {
    static Attached* a = new Attached();  // lives for the process: threads may outlive main
    return *a;
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
}

int openShared(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
    // Whoever made it, every user of the host's group may use it.
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) ::fchmod(fd, 0660);
    }
    return fd;
}

// Serialises attaching and slot creation between processes. Held briefly.
class GuardLock {
  public:
    explicit GuardLock(int fd) : fd_(fd) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~GuardLock() { ::flock(fd_, LOCK_UN); }

  private:
    int fd_;
};

void initMutex(pthread_mutex_t* m) {
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(m, &a);
    pthread_mutexattr_destroy(&a);
}

void doAttach(Attached& a) {
    std::string dir = areaDirectory();
    if (dir.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string path = dir + "/" + kAreaFileName;
    int guard = openShared(path + ".lock");
    if (guard < 0) return;
    int fd = openShared(path);
    if (fd < 0) {
        ::close(guard);
        return;
    }
    GuardLock g(guard);
    // No other process holds the area: this one starts it afresh.
    bool first = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (first && ::ftruncate(fd, sizeof(Area)) != 0) {
        ::close(fd);
        ::close(guard);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < sizeof(Area)) {
        ::close(fd);
        ::close(guard);
        return;
    }
    void* p = ::mmap(nullptr, sizeof(Area), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        ::close(fd);
        ::close(guard);
        return;
    }
    auto* area = static_cast<Area*>(p);
    if (first || area->magic != kMagic || area->layout != kLayout) {
        std::memset(area, 0, sizeof(Area));
        area->magic = kMagic;
        area->layout = kLayout;
    }
    // Held shared for the process's life; flock locks go with the process.
    ::flock(fd, LOCK_SH);
    a.area = area;
    a.first = first;
    a.fd = fd;
    a.guardFd = guard;
}

}  // namespace

std::string areaDirectory() {
    std::string explicitDir = env("PAV512_RUNTIME_DIR");
    if (!explicitDir.empty()) return explicitDir;
    std::error_code ec;
    for (const std::string& socket : uruntime::clientSocketPaths())
        if (std::filesystem::exists(socket, ec))
            return std::filesystem::path(socket).parent_path().string();
    std::string dir = uruntime::hostDirectory(false);
    if (!dir.empty()) return dir;
    // No runtime directory at all: the per-user folder under /tmp that the
    // tool starts its host in. Without it the process would have no named
    // objects, and every lock between processes would fail.
    const std::string base = uruntime::privateFolderIn("/tmp");
    return base.empty() ? std::string() : base + "/pav512";
}

Area* attach(bool* first) {
    Attached& a = attached();
    std::call_once(a.once, [&] { doAttach(a); });
    if (first) *first = a.first;
    return a.area;
}

void* dataSection() {
    Area* area = attach();
    return area ? area->data : nullptr;
}

MutexSlot* findOrCreateMutex(const char* name, bool takeIfNew, bool* existed) {
    Area* area = attach();
    if (!area || !name || std::strlen(name) > kMaxMutexName) return nullptr;
    GuardLock g(attached().guardFd);
    MutexSlot* freeSlot = nullptr;
    for (MutexSlot& s : area->slots) {
        if (s.used && std::strcmp(s.name, name) == 0) {
            *existed = true;
            return &s;
        }
        if (!s.used && !freeSlot) freeSlot = &s;
    }
    if (!freeSlot) return nullptr;
    std::memset(freeSlot, 0, sizeof *freeSlot);
    std::strcpy(freeSlot->name, name);
    initMutex(&freeSlot->mutex);
    if (takeIfNew) pthread_mutex_lock(&freeSlot->mutex);
    freeSlot->used = 1;
    *existed = false;
    return freeSlot;
}

pthread_mutex_t* mutexOf(MutexSlot* slot) { return &slot->mutex; }

}  // namespace ushared
