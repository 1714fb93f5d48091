#include "platform/registry/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/registry/text.h"

namespace regstore {

const char* statusName(Status s) {
    switch (s) {
        case Status::Ok:
            return "Ok";
        case Status::NotFound:
            return "NotFound";
        case Status::ParentNotFound:
            return "ParentNotFound";
        case Status::KeyDeleted:
            return "KeyDeleted";
        case Status::InvalidName:
            return "InvalidName";
        case Status::InvalidArgument:
            return "InvalidArgument";
        case Status::HasSubkeys:
            return "HasSubkeys";
        case Status::AccessDenied:
            return "AccessDenied";
        case Status::NoMoreItems:
            return "NoMoreItems";
        case Status::TooLarge:
            return "TooLarge";
        case Status::StoreFailed:
            return "StoreFailed";
    }
    return "?";
}

bool isStringType(std::uint32_t type) {
    return type == kTypeString || type == kTypeExpandString || type == kTypeMultiString;
}

namespace {

constexpr std::int64_t kRootId = 1;
constexpr int kSchemaVersion = 1;
// Another process may hold the write lock for a while (a burst of writes on a
// loaded machine); past this the operation reports StoreFailed.
constexpr int kBusyTimeoutMs = 10000;
// The change log keeps this many entries; a watcher that fell further behind
// is woken anyway, since it can no longer tell what it missed.
constexpr std::int64_t kChangeLogLength = 4096;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
// Marks a log entry for a deleted key: it wakes that key's watchers whatever
// their filter.
constexpr unsigned kChangeDeleted = 0x100;

std::uint64_t fileTimeNow() {
    using namespace std::chrono;
    auto since1970 =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<std::uint64_t>(since1970) + 116444736000000000ULL;
}

std::string joinPath(const std::string& base, const std::string& folded) {
    return base.empty() ? folded : base + "\\" + folded;
}

std::string parentPath(const std::string& path) {
    size_t at = path.rfind('\\');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

size_t depthOf(const std::string& path) {
    if (path.empty()) return 0;
    size_t n = 1;
    for (char c : path)
        if (c == '\\') ++n;
    return n;
}

// One prepared statement in use; resets itself when done.
class Stmt {
  public:
    explicit Stmt(sqlite3_stmt* s) : s_(s) {}
    ~Stmt() {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return s_ != nullptr; }
    Stmt& bind(int i, std::int64_t v) {
        if (s_) sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& bind(int i, std::string_view v) {
        if (s_) sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bindBlob(int i, std::span<const std::uint8_t> v) {
        if (!s_) return *this;
        // A zero-length blob bound from a null pointer would be NULL.
        if (v.empty())
            sqlite3_bind_zeroblob(s_, i, 0);
        else
            sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
    std::int64_t i64(int col) { return sqlite3_column_int64(s_, col); }
    std::string text(int col) {
        auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, col)))
                 : std::string();
    }
    std::vector<std::uint8_t> blob(int col) {
        auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s_, col));
        int n = sqlite3_column_bytes(s_, col);
        return p ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
    }

  private:
    sqlite3_stmt* s_;
};

// A connection with its cache of prepared statements (keyed by the address of
// the SQL text, which is always a literal).
class Db {
  public:
    ~Db() { close(); }
    bool open(const std::string& file) {
        int rc = sqlite3_open_v2(file.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            close();
            return false;
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        return true;
    }
    void close() {
        for (auto& [sql, s] : cache_) sqlite3_finalize(s);
        cache_.clear();
        if (db_) sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    Stmt prepare(const char* sql) {
        auto it = cache_.find(sql);
        if (it != cache_.end()) return Stmt(it->second);
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            return Stmt(nullptr);
        }
        cache_[sql] = s;
        return Stmt(s);
    }
    bool exec(const char* sql) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    // Runs a statement that yields no rows or whose rows do not matter.
    bool run(Stmt& s) {
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
        }
        return rc == SQLITE_DONE;
    }
    std::int64_t changes() { return sqlite3_changes64(db_); }
    std::int64_t lastRowId() { return sqlite3_last_insert_rowid(db_); }
    sqlite3* handle() { return db_; }

  private:
    sqlite3* db_ = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> cache_;
};

const char* const kSchema = R"(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  written INTEGER NOT NULL DEFAULT 0,
  UNIQUE(parent, name));
INSERT INTO keys(id, parent, name) VALUES(1, 0, '');
CREATE TABLE vals(
  key INTEGER NOT NULL,
  name TEXT NOT NULL COLLATE NOCASE,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  UNIQUE(key, name));
CREATE TABLE changes(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  path TEXT NOT NULL,
  kind INTEGER NOT NULL);
PRAGMA user_version = 1;
)";

struct Watcher {
    std::string path;
    bool subtree;
    unsigned filter;
    WatchCallback callback;
    std::int64_t seen;  // last change-log entry this watcher has been shown
};

struct Change {
    std::int64_t seq;
    std::string path;
    unsigned kind;
};

bool matches(const Watcher& w, const Change& c) {
    if (!(c.kind & (w.filter | kChangeDeleted))) return false;
    if (c.path == w.path) return true;
    if (!w.subtree) return false;
    if (w.path.empty()) return true;
    return c.path.size() > w.path.size() && c.path.compare(0, w.path.size(), w.path) == 0 &&
           c.path[w.path.size()] == '\\';
}

template <typename F>
Status safely(F&& f) {
    try {
        return f();
    } catch (...) {
        return Status::StoreFailed;
    }
}

// Runs `body` with the parts of a key path below `base`, once the path has
// been found well formed.
template <typename F>
Status withKeyPath(const Key& base, std::string_view subPath, F&& body) {
    return safely([&] {
        std::vector<std::string> parts;
        if (!splitPath(subPath, &parts)) return Status::InvalidName;
        for (const std::string& p : parts)
            if (p.size() > kMaxKeyNameBytes || p.find('\0') != std::string::npos)
                return Status::InvalidName;
        if (depthOf(base.path) + parts.size() > kMaxDepth) return Status::InvalidName;
        return body(parts);
    });
}

// Runs `body` once the value name has been found acceptable.
template <typename F>
Status withValueName(std::string_view name, F&& body) {
    return safely([&] {
        if (name.size() > kMaxValueNameBytes || name.find('\0') != std::string_view::npos)
            return Status::InvalidName;
        return body();
    });
}

// A row of vals selected as (name, type, data).
Value valueOf(Stmt& row) {
    return Value{row.text(0), static_cast<std::uint32_t>(row.i64(1)), row.blob(2)};
}

}  // namespace

struct Store::Impl {
    std::string file;

    // The connection for every operation; one thread at a time.
    std::recursive_mutex mutex;
    Db db;
    int depth = 0;        // nesting of transactions on db
    bool logged = false;  // the outermost transaction wrote change-log entries

    // Watchers and the thread that polls the file for changes.
    std::mutex watchLock;
    std::condition_variable wake;
    std::condition_variable callbackDone;
    std::map<WatchId, std::shared_ptr<Watcher>> watchers;
    WatchId nextWatch = 1;
    WatchId running = 0;
    bool stopping = false;
    bool kicked = false;
    std::thread poller;
    std::thread::id pollerId;
    Db pollDb;
    std::atomic<int> injectedReadFailures{0};

    ~Impl() {
        {
            std::lock_guard<std::mutex> g(watchLock);
            stopping = true;
        }
        wake.notify_all();
        if (poller.joinable()) {
            if (std::this_thread::get_id() == pollerId) {
                // A watch callback owned the last reference to its store.
                std::fprintf(stderr, "regstore: store destroyed from its own watch callback\n");
                std::abort();
            }
            poller.join();
        }
    }

    // --- transactions -------------------------------------------------------

    template <typename F>
    Status write(F&& body) {
        std::lock_guard<std::recursive_mutex> g(mutex);
        if (depth > 0) {
            if (!db.exec("SAVEPOINT nested")) return Status::StoreFailed;
            ++depth;
            Status s = safely(body);
            --depth;
            if (s != Status::Ok) db.exec("ROLLBACK TO nested");
            db.exec("RELEASE nested");
            return s;
        }
        if (!db.exec("BEGIN IMMEDIATE")) return Status::StoreFailed;
        depth = 1;
        logged = false;
        Status s = safely(body);
        depth = 0;
        if (s == Status::Ok && logged) s = trimLog();
        if (s == Status::Ok) {
            if (!db.exec("COMMIT")) s = Status::StoreFailed;
        }
        if (s != Status::Ok && !sqlite3_get_autocommit(db.handle())) db.exec("ROLLBACK");
        if (s == Status::Ok && logged) kick();
        return s;
    }

    template <typename F>
    Status read(F&& body) {
        std::lock_guard<std::recursive_mutex> g(mutex);
        if (depth > 0) return body();
        if (!db.exec("BEGIN")) return Status::StoreFailed;
        depth = 1;
        Status s = safely(body);
        depth = 0;
        if (!db.exec("COMMIT")) db.exec("ROLLBACK");
        return s;
    }

    // A read or a write of one key; a key deleted meanwhile answers KeyDeleted.
    template <typename F>
    Status readKey(const Key& key, F&& body) {
        return read([&] {
            Status s = exists(key.id);
            return s != Status::Ok ? s : body();
        });
    }

    template <typename F>
    Status writeKey(const Key& key, F&& body) {
        return write([&] {
            Status s = exists(key.id);
            return s != Status::Ok ? s : body();
        });
    }

    // --- keys ---------------------------------------------------------------

    Status exists(std::int64_t id) {
        Stmt s = db.prepare("SELECT 1 FROM keys WHERE id = ?1");
        s.bind(1, id);
        int rc = s.step();
        if (rc == SQLITE_ROW) return Status::Ok;
        return rc == SQLITE_DONE ? Status::KeyDeleted : Status::StoreFailed;
    }

    Status child(std::int64_t parent, const std::string& name, std::int64_t* id) {
        Stmt s = db.prepare("SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
        s.bind(1, parent).bind(2, name);
        int rc = s.step();
        if (rc == SQLITE_ROW) {
            *id = s.i64(0);
            return Status::Ok;
        }
        return rc == SQLITE_DONE ? Status::NotFound : Status::StoreFailed;
    }

    Status resolve(const Key& base, const std::vector<std::string>& parts, Key* out) {
        Status st = exists(base.id);
        if (st != Status::Ok) return st;
        Key k = base;
        for (const std::string& p : parts) {
            st = child(k.id, p, &k.id);
            if (st != Status::Ok) return st;
            k.path = joinPath(k.path, fold(p));
        }
        *out = std::move(k);
        return Status::Ok;
    }

    Status touch(std::int64_t id) {
        Stmt s = db.prepare("UPDATE keys SET written = ?1 WHERE id = ?2");
        s.bind(1, static_cast<std::int64_t>(fileTimeNow())).bind(2, id);
        return db.run(s) ? Status::Ok : Status::StoreFailed;
    }

    Status log(const std::string& path, unsigned kind) {
        Stmt s = db.prepare("INSERT INTO changes(path, kind) VALUES(?1, ?2)");
        s.bind(1, path).bind(2, static_cast<std::int64_t>(kind));
        if (!db.run(s)) return Status::StoreFailed;
        logged = true;
        return Status::Ok;
    }

    Status trimLog() {
        Stmt s = db.prepare("DELETE FROM changes WHERE seq <= (SELECT max(seq) FROM changes) - ?1");
        s.bind(1, kChangeLogLength);
        return db.run(s) ? Status::Ok : Status::StoreFailed;
    }

    Status clearValues(std::int64_t id) {
        Stmt v = db.prepare("DELETE FROM vals WHERE key = ?1");
        v.bind(1, id);
        return db.run(v) ? Status::Ok : Status::StoreFailed;
    }

    Status removeKey(std::int64_t id, const std::string& path) {
        if (clearValues(id) != Status::Ok) return Status::StoreFailed;
        Stmt k = db.prepare("DELETE FROM keys WHERE id = ?1");
        k.bind(1, id);
        if (!db.run(k)) return Status::StoreFailed;
        return log(path, kNotifyName | kChangeDeleted);
    }

    Status parentOf(std::int64_t id, std::int64_t* parent) {
        Stmt s = db.prepare("SELECT parent FROM keys WHERE id = ?1");
        s.bind(1, id);
        if (s.step() != SQLITE_ROW) return Status::StoreFailed;
        *parent = s.i64(0);
        return Status::Ok;
    }

    // The key and every key below it, parents before children.
    Status subtree(const Key& top, std::vector<Key>* keys) {
        Stmt s = db.prepare(R"(
            WITH RECURSIVE sub(id, path) AS (
              SELECT ?1, ?2
              UNION ALL
              SELECT k.id, CASE WHEN sub.path = '' THEN lower(k.name) ELSE sub.path || '\' || lower(k.name) END
              FROM keys k JOIN sub ON k.parent = sub.id)
            SELECT id, path FROM sub)");
        s.bind(1, top.id).bind(2, top.path);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) keys->push_back(Key{s.i64(0), s.text(1)});
        return rc == SQLITE_DONE ? Status::Ok : Status::StoreFailed;
    }

    // --- watching -----------------------------------------------------------

    void kick() {
        {
            std::lock_guard<std::mutex> g(watchLock);
            if (!poller.joinable()) return;
            kicked = true;
        }
        wake.notify_all();
    }

    std::int64_t dataVersion() {
        Stmt s = pollDb.prepare("PRAGMA data_version");
        return s.step() == SQLITE_ROW ? s.i64(0) : -1;
    }

    void poll() {
        std::int64_t version = dataVersion();
        bool retry = false;  // the last read of the change log failed
        while (true) {
            bool wasKicked;
            {
                std::unique_lock<std::mutex> lk(watchLock);
                wake.wait_for(lk, kPollInterval, [&] { return stopping || kicked; });
                if (stopping) return;
                wasKicked = kicked;
                kicked = false;
            }
            std::int64_t now = dataVersion();
            if (!wasKicked && !retry && now == version && now != -1) continue;
            version = now;
            // A read that failed (the file busy, say) is tried again at the
            // next round even if nothing else changes: what it missed is
            // still in the log.
            retry = !deliver();
        }
    }

    // False when the change log could not be read.
    bool deliver() {
        std::vector<std::pair<WatchId, std::shared_ptr<Watcher>>> current;
        std::int64_t from = INT64_MAX;
        {
            std::lock_guard<std::mutex> g(watchLock);
            for (auto& [id, w] : watchers) {
                current.emplace_back(id, w);
                from = std::min(from, w->seen);
            }
        }
        if (current.empty()) return true;
        if (injectedReadFailures.load() > 0 && injectedReadFailures.fetch_sub(1) > 0) return false;
        std::vector<Change> log;
        {
            Stmt s =
                pollDb.prepare("SELECT seq, path, kind FROM changes WHERE seq > ?1 ORDER BY seq");
            s.bind(1, from);
            int rc;
            while ((rc = s.step()) == SQLITE_ROW)
                log.push_back(Change{s.i64(0), s.text(1), static_cast<unsigned>(s.i64(2))});
            if (rc != SQLITE_DONE) return false;
        }
        if (log.empty()) return true;
        std::int64_t first = log.front().seq;
        std::int64_t last = log.back().seq;
        std::vector<std::pair<WatchId, std::shared_ptr<Watcher>>> due;
        {
            std::lock_guard<std::mutex> g(watchLock);
            for (auto& [id, w] : current) {
                if (w->seen >= last) continue;
                bool fire = w->seen + 1 < first;  // entries it needed were trimmed
                for (const Change& c : log)
                    if (!fire && c.seq > w->seen && matches(*w, c)) fire = true;
                w->seen = last;
                if (fire) due.emplace_back(id, w);
            }
        }
        for (auto& [id, w] : due) {
            {
                std::lock_guard<std::mutex> g(watchLock);
                if (!watchers.count(id)) continue;  // unwatched meanwhile
                running = id;
            }
            bool keep = true;
            try {
                keep = w->callback();
            } catch (...) {
                keep = false;
            }
            {
                std::lock_guard<std::mutex> g(watchLock);
                running = 0;
                if (!keep) watchers.erase(id);
            }
            callbackDone.notify_all();
        }
        return true;
    }
};

namespace {

// Creates the missing folders of a hive private to their owner, and the file
// private too, or open to the group when its folder is (a service's hive that
// its group shares). SQLite gives the journal files the mode of the database.
bool prepareFile(const std::string& file) {
    std::filesystem::path parent = std::filesystem::path(file).parent_path();
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = parent; !p.empty() && p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) break;
        missing.push_back(p);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return false;
        ::chmod(it->c_str(), 0700);  // whatever the umask let through
    }
    struct stat folder {};
    if (::stat(parent.empty() ? "." : parent.c_str(), &folder) != 0) return false;
    const mode_t mode = (folder.st_mode & 0070) ? 0660 : 0600;
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return errno == EACCES ? true : false;  // SQLite reports what it can
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0777) != mode)
        ::fchmod(fd, mode);
    ::close(fd);
    return true;
}

}  // namespace

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::~Store() = default;

Status Store::open(const std::string& file, std::shared_ptr<Store>* out) {
    return safely([&] {
        out->reset();
        if (file.empty()) return Status::InvalidArgument;
        if (!prepareFile(file)) return Status::StoreFailed;
        auto impl = std::make_unique<Impl>();
        impl->file = file;
        Db& db = impl->db;
        if (!db.open(file)) return Status::StoreFailed;
        // Entering WAL mode takes the file's exclusive lock without waiting
        // for it (the busy time-out does not apply), and processes meeting a
        // new file may all try at once: retry for as long as a busy lock is
        // waited for elsewhere.
        for (auto deadline =
                 std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
             ;) {
            Stmt wal = db.prepare("PRAGMA journal_mode = WAL");
            int rc = wal.step();
            if (rc == SQLITE_ROW && fold(wal.text(0)) == "wal") break;
            bool busy =
                rc == SQLITE_ROW || (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
            if (!busy || std::chrono::steady_clock::now() > deadline) return Status::StoreFailed;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // In WAL mode NORMAL loses nothing when a process dies; only a power
        // failure may take back the last commits.
        if (!db.exec("PRAGMA synchronous = NORMAL")) return Status::StoreFailed;
        auto version = [&](int* v) {
            Stmt s = db.prepare("PRAGMA user_version");
            if (s.step() != SQLITE_ROW) return false;
            *v = static_cast<int>(s.i64(0));
            return true;
        };
        int v = 0;
        if (!version(&v)) return Status::StoreFailed;
        if (v == 0) {
            // Two processes may meet a new file at once: create under the write lock.
            if (!db.exec("BEGIN IMMEDIATE")) return Status::StoreFailed;
            bool ok = version(&v) && (v != 0 || db.exec(kSchema));
            if (!ok || !db.exec("COMMIT")) {
                db.exec("ROLLBACK");
                return Status::StoreFailed;
            }
            if (!version(&v)) return Status::StoreFailed;
        }
        if (v != kSchemaVersion) return Status::StoreFailed;
        out->reset(new Store(std::move(impl)));
        return Status::Ok;
    });
}

const std::string& Store::file() const {
    return impl_->file;
}

Key Store::root() const {
    return Key{kRootId, std::string()};
}

Status Store::openKey(const Key& base, std::string_view subPath, Key* out) {
    return withKeyPath(base, subPath, [&](const std::vector<std::string>& parts) {
        return impl_->read([&] { return impl_->resolve(base, parts, out); });
    });
}

Status Store::createKey(const Key& base, std::string_view subPath, Create mode, Key* out,
                        bool* created) {
    if (created) *created = false;
    return withKeyPath(base, subPath, [&](const std::vector<std::string>& parts) {
        bool made = false;
        Key result;
        Status st = impl_->writeKey(base, [&] {
            made = false;
            Key k = base;
            for (size_t i = 0; i < parts.size(); ++i) {
                std::int64_t id = 0;
                Status s = impl_->child(k.id, parts[i], &id);
                if (s == Status::NotFound) {
                    if (mode == Create::ParentMustExist && i + 1 < parts.size())
                        return Status::ParentNotFound;
                    Stmt ins = impl_->db.prepare(
                        "INSERT INTO keys(parent, name, written) VALUES(?1, ?2, ?3)");
                    ins.bind(1, k.id)
                        .bind(2, parts[i])
                        .bind(3, static_cast<std::int64_t>(fileTimeNow()));
                    if (!impl_->db.run(ins)) return Status::StoreFailed;
                    id = impl_->db.lastRowId();
                    if ((s = impl_->touch(k.id)) != Status::Ok) return s;
                    if ((s = impl_->log(k.path, kNotifyName)) != Status::Ok) return s;
                    made = i + 1 == parts.size();
                } else if (s != Status::Ok) {
                    return s;
                }
                k.id = id;
                k.path = joinPath(k.path, fold(parts[i]));
            }
            result = std::move(k);
            return Status::Ok;
        });
        if (st != Status::Ok) return st;
        if (created) *created = made;
        *out = std::move(result);
        return Status::Ok;
    });
}

Status Store::deleteKey(const Key& base, std::string_view subPath) {
    return withKeyPath(base, subPath, [&](const std::vector<std::string>& parts) {
        return impl_->write([&] {
            Key target;
            Status s = impl_->resolve(base, parts, &target);
            if (s != Status::Ok) return s;
            if (target.id == kRootId) return Status::AccessDenied;
            Stmt kids = impl_->db.prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
            kids.bind(1, target.id);
            int rc = kids.step();
            if (rc == SQLITE_ROW) return Status::HasSubkeys;
            if (rc != SQLITE_DONE) return Status::StoreFailed;
            std::int64_t parent = 0;
            if ((s = impl_->parentOf(target.id, &parent)) != Status::Ok) return s;
            if ((s = impl_->removeKey(target.id, target.path)) != Status::Ok) return s;
            if ((s = impl_->touch(parent)) != Status::Ok) return s;
            return impl_->log(parentPath(target.path), kNotifyName);
        });
    });
}

Status Store::deleteTree(const Key& base, std::string_view subPath) {
    return withKeyPath(base, subPath, [&](const std::vector<std::string>& parts) {
        return impl_->write([&] {
            Key target;
            Status s = impl_->resolve(base, parts, &target);
            if (s != Status::Ok) return s;
            std::vector<Key> keys;
            if ((s = impl_->subtree(target, &keys)) != Status::Ok) return s;
            std::int64_t parent = 0;
            bool isRoot = target.id == kRootId;
            if (!isRoot && (s = impl_->parentOf(target.id, &parent)) != Status::Ok) return s;
            // Children first, so no key is ever left without its parent.
            for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
                if (it->id == kRootId) continue;
                if ((s = impl_->removeKey(it->id, it->path)) != Status::Ok) return s;
            }
            if (isRoot) {
                if ((s = impl_->clearValues(kRootId)) != Status::Ok) return s;
                if ((s = impl_->touch(kRootId)) != Status::Ok) return s;
                return impl_->log(std::string(), kNotifyName | kNotifyLastSet);
            }
            if ((s = impl_->touch(parent)) != Status::Ok) return s;
            return impl_->log(parentPath(target.path), kNotifyName);
        });
    });
}

Status Store::check(const Key& key) {
    return safely([&] { return impl_->read([&] { return impl_->exists(key.id); }); });
}

Status Store::queryValue(const Key& key, std::string_view name, Value* out) {
    return withValueName(name, [&] {
        return impl_->readKey(key, [&] {
            Stmt q =
                impl_->db.prepare("SELECT name, type, data FROM vals WHERE key = ?1 AND name = ?2");
            q.bind(1, key.id).bind(2, name);
            int rc = q.step();
            if (rc == SQLITE_DONE) return Status::NotFound;
            if (rc != SQLITE_ROW) return Status::StoreFailed;
            *out = valueOf(q);
            return Status::Ok;
        });
    });
}

Status Store::setValue(const Key& key, std::string_view name, std::uint32_t type,
                       std::span<const std::uint8_t> data) {
    return withValueName(name, [&] {
        if (data.size() > kMaxValueBytes) return Status::TooLarge;
        return impl_->writeKey(key, [&] {
            // An existing value keeps the case of its name and its place in
            // the enumeration order.
            Stmt up = impl_->db.prepare(
                "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
            up.bind(1, key.id)
                .bind(2, name)
                .bind(3, static_cast<std::int64_t>(type))
                .bindBlob(4, data);
            if (!impl_->db.run(up)) return Status::StoreFailed;
            Status s = impl_->touch(key.id);
            if (s != Status::Ok) return s;
            return impl_->log(key.path, kNotifyLastSet);
        });
    });
}

Status Store::deleteValue(const Key& key, std::string_view name) {
    return withValueName(name, [&] {
        return impl_->writeKey(key, [&] {
            Stmt del = impl_->db.prepare("DELETE FROM vals WHERE key = ?1 AND name = ?2");
            del.bind(1, key.id).bind(2, name);
            if (!impl_->db.run(del)) return Status::StoreFailed;
            if (impl_->db.changes() == 0) return Status::NotFound;
            Status s = impl_->touch(key.id);
            if (s != Status::Ok) return s;
            return impl_->log(key.path, kNotifyLastSet);
        });
    });
}

Status Store::subkeyAt(const Key& key, std::uint32_t index, std::string* name,
                       std::uint64_t* lastWrite) {
    return safely([&] {
        return impl_->readKey(key, [&] {
            Stmt q = impl_->db.prepare(
                "SELECT name, written FROM keys WHERE parent = ?1 ORDER BY name LIMIT 1 OFFSET ?2");
            q.bind(1, key.id).bind(2, static_cast<std::int64_t>(index));
            int rc = q.step();
            if (rc == SQLITE_DONE) return Status::NoMoreItems;
            if (rc != SQLITE_ROW) return Status::StoreFailed;
            *name = q.text(0);
            if (lastWrite) *lastWrite = static_cast<std::uint64_t>(q.i64(1));
            return Status::Ok;
        });
    });
}

Status Store::valueAt(const Key& key, std::uint32_t index, Value* out) {
    return safely([&] {
        return impl_->readKey(key, [&] {
            Stmt q = impl_->db.prepare(
                "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET "
                "?2");
            q.bind(1, key.id).bind(2, static_cast<std::int64_t>(index));
            int rc = q.step();
            if (rc == SQLITE_DONE) return Status::NoMoreItems;
            if (rc != SQLITE_ROW) return Status::StoreFailed;
            *out = valueOf(q);
            return Status::Ok;
        });
    });
}

Status Store::subkeys(const Key& key, std::vector<std::string>* names) {
    return safely([&] {
        names->clear();
        return impl_->readKey(key, [&] {
            Stmt q = impl_->db.prepare("SELECT name FROM keys WHERE parent = ?1 ORDER BY name");
            q.bind(1, key.id);
            int rc;
            while ((rc = q.step()) == SQLITE_ROW) names->push_back(q.text(0));
            return rc == SQLITE_DONE ? Status::Ok : Status::StoreFailed;
        });
    });
}

Status Store::values(const Key& key, std::vector<Value>* out) {
    return safely([&] {
        out->clear();
        return impl_->readKey(key, [&] {
            Stmt q = impl_->db.prepare(
                "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid");
            q.bind(1, key.id);
            int rc;
            while ((rc = q.step()) == SQLITE_ROW) out->push_back(valueOf(q));
            return rc == SQLITE_DONE ? Status::Ok : Status::StoreFailed;
        });
    });
}

Status Store::atomically(const std::function<Status()>& body) {
    return safely([&] { return impl_->write(body); });
}

Status Store::watch(const Key& key, bool subtree, unsigned filter, WatchCallback cb, WatchId* id) {
    return safely([&] {
        if (filter == 0 || (filter & ~kNotifyAll) || !cb || !id) return Status::InvalidArgument;
        std::int64_t seen = 0;
        Status st = impl_->readKey(key, [&] {
            Stmt q = impl_->db.prepare("SELECT COALESCE(max(seq), 0) FROM changes");
            if (q.step() != SQLITE_ROW) return Status::StoreFailed;
            seen = q.i64(0);
            return Status::Ok;
        });
        if (st != Status::Ok) return st;
        {
            std::lock_guard<std::mutex> g(impl_->watchLock);
            if (!impl_->poller.joinable()) {
                if (!impl_->pollDb.open(impl_->file)) return Status::StoreFailed;
                impl_->poller = std::thread([impl = impl_.get()] { impl->poll(); });
                impl_->pollerId = impl_->poller.get_id();
            }
            *id = impl_->nextWatch++;
            impl_->watchers[*id] =
                std::make_shared<Watcher>(Watcher{key.path, subtree, filter, std::move(cb), seen});
            // A change committed between reading `seen` and now may already
            // have been polled past: have the poller look again.
            impl_->kicked = true;
        }
        impl_->wake.notify_all();
        return Status::Ok;
    });
}

void Store::unwatch(WatchId id) {
    std::unique_lock<std::mutex> lk(impl_->watchLock);
    impl_->watchers.erase(id);
    if (std::this_thread::get_id() == impl_->pollerId) return;
    impl_->callbackDone.wait(lk, [&] { return impl_->running != id; });
}

Status Store::verify() {
    return safely([&] {
        return impl_->read([&] {
            Stmt q = impl_->db.prepare("PRAGMA quick_check");
            if (q.step() != SQLITE_ROW) return Status::StoreFailed;
            return q.text(0) == "ok" ? Status::Ok : Status::StoreFailed;
        });
    });
}

void Store::failChangeLogReads(int count) {
    impl_->injectedReadFailures.store(count);
}

Status setDword(Store& store, const Key& key, std::string_view name, std::uint32_t value) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                         static_cast<std::uint8_t>(value >> 16),
                         static_cast<std::uint8_t>(value >> 24)};
    return store.setValue(key, name, kTypeDword, b);
}

Status queryDword(Store& store, const Key& key, std::string_view name, std::uint32_t* value) {
    Value v;
    Status st = store.queryValue(key, name, &v);
    if (st != Status::Ok) return st;
    if (v.type != kTypeDword || v.data.size() != 4) return Status::NotFound;
    *value = static_cast<std::uint32_t>(v.data[0]) | static_cast<std::uint32_t>(v.data[1]) << 8 |
             static_cast<std::uint32_t>(v.data[2]) << 16 |
             static_cast<std::uint32_t>(v.data[3]) << 24;
    return Status::Ok;
}

Status setString(Store& store, const Key& key, std::string_view name, std::string_view text) {
    std::vector<std::uint8_t> data;
    try {
        data = encodeString(text);
    } catch (...) {
        return Status::StoreFailed;
    }
    return store.setValue(key, name, kTypeString, data);
}

Status queryString(Store& store, const Key& key, std::string_view name, std::string* text) {
    Value v;
    Status st = store.queryValue(key, name, &v);
    if (st != Status::Ok) return st;
    if (v.type != kTypeString) return Status::NotFound;
    try {
        *text = decodeString(v.data);
    } catch (...) {
        return Status::StoreFailed;
    }
    return Status::Ok;
}

}  // namespace regstore
