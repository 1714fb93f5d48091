#include "tools/pav512/ledger.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pav512 {
namespace {

constexpr char kHeader[] = "# pav512 downloads: storage\tsize\tdate\tname";

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string fileNameFor(const std::string& id) {
    std::string out;
    for (char c : id) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_' || c == '.';
        out += plain ? c : '_';
        if (out.size() >= 96) break;
    }
    if (out.empty() || out[0] == '.') out.insert(0, "camera");
    return out + ".tsv";
}

// Tabs and line ends would break the line format; nothing a camera names
// needs them.
std::string field(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

bool parseLine(const std::string& line, LedgerKey* key) {
    std::istringstream in(line);
    std::string storage, size, date, name;
    if (!std::getline(in, storage, '\t') || !std::getline(in, size, '\t') ||
        !std::getline(in, date, '\t') || !std::getline(in, name))
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long s = std::strtoul(storage.c_str(), &end, 16);
    if (storage.empty() || *end || errno || s > 0xFFFFFFFFul) return false;
    unsigned long long z = std::strtoull(size.c_str(), &end, 10);
    if (size.empty() || *end || errno) return false;
    if (name.empty()) return false;
    key->storage = static_cast<std::uint32_t>(s);
    key->size = z;
    key->date = date;
    key->name = name;
    return true;
}

}  // namespace

std::string Ledger::defaultFolder() {
    std::string state = env("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
        std::string home = env("HOME");
        if (home.empty())
            if (passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) home = pw->pw_dir;
        state = (home.empty() ? std::string("/tmp") : home) + "/.local/state";
    }
    return state + "/pav512/downloaded";
}

Ledger::Ledger(const std::string& cameraId, const std::string& folder)
    : path_((folder.empty() ? defaultFolder() : folder) + "/" + fileNameFor(cameraId)) {}

bool Ledger::load(std::string* error) {
    keys_.clear();
    std::ifstream in(path_);
    if (!in) {
        if (errno == ENOENT || !std::filesystem::exists(path_)) return true;
        *error = "Cannot read the download ledger " + path_ + ": " + std::strerror(errno) + ".";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        // A line without its end was being written when the writer died.
        if (in.eof()) break;
        LedgerKey k;
        if (parseLine(line, &k)) keys_.insert(k);
    }
    return true;
}

bool Ledger::record(const LedgerKey& key, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    bool fresh = !std::filesystem::exists(path_, ec);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "Cannot write the download ledger " + path_ + ": " + std::strerror(errno) + ".";
        return false;
    }
    char storage[16];
    std::snprintf(storage, sizeof storage, "%08x", key.storage);
    std::string line = fresh ? std::string(kHeader) + "\n" : std::string();
    line += std::string(storage) + "\t" + std::to_string(key.size) + "\t" + field(key.date) + "\t" +
            field(key.name) + "\n";
    // One write: appends of whole lines do not interleave between processes.
    ssize_t w = ::write(fd, line.data(), line.size());
    int saved = errno;
    ::close(fd);
    if (w != static_cast<ssize_t>(line.size())) {
        *error = "Cannot write the download ledger " + path_ + ": " +
                 std::strerror(w < 0 ? saved : ENOSPC) + ".";
        return false;
    }
    LedgerKey stored = key;
    stored.name = field(key.name);
    stored.date = field(key.date);
    keys_.insert(stored);
    return true;
}

}  // namespace pav512
