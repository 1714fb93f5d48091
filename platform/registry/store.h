// The persistent registry store behind the kernel's registry calls and the
// Win32 registry API: one SQLite file per hive (hives.h), keys as paths of
// backslash-separated components, typed values, and watchers that hear of
// changes made by any process.
//
// Names compare case-insensitively (ASCII only) and keep the case they were
// created with. Every write is one transaction; the file is in WAL mode, so a
// process killed in the middle of a write leaves every committed value intact.
// Nothing here throws: every operation answers a Status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace regstore {

enum class Status {
    Ok,
    NotFound,         // the key or value does not exist
    ParentNotFound,   // a key was to be created under a parent that does not exist
    KeyDeleted,       // the key this reference named has been deleted since it was opened
    InvalidName,      // empty component, name too long, path too deep
    InvalidArgument,  // a filter or other argument out of its range
    HasSubkeys,       // a key with subkeys cannot be deleted on its own
    AccessDenied,     // the root of a hive cannot be deleted
    NoMoreItems,      // enumeration index past the end
    TooLarge,         // value data above kMaxValueBytes
    StoreFailed,  // the database could not be opened, read or written (busy past the time-out too)
};
const char* statusName(Status s);

// Limits, as the platform's registry has them (the data limit is ours).
constexpr size_t kMaxKeyNameBytes = 255;
constexpr size_t kMaxValueNameBytes = 16383;
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxValueBytes = 1u << 20;

// Value types of the platform; any other 32-bit type number is kept as given.
constexpr std::uint32_t kTypeNone = 0;
constexpr std::uint32_t kTypeString = 1;        // REG_SZ
constexpr std::uint32_t kTypeExpandString = 2;  // REG_EXPAND_SZ
constexpr std::uint32_t kTypeBinary = 3;        // REG_BINARY
constexpr std::uint32_t kTypeDword = 4;         // REG_DWORD
constexpr std::uint32_t kTypeMultiString = 7;   // REG_MULTI_SZ
// String types hold UTF-16LE text with its terminator (text.h encodeString).
bool isStringType(std::uint32_t type);

// What a watcher wants to hear of (the platform's REG_NOTIFY_CHANGE_* bits).
constexpr unsigned kNotifyName = 0x1;        // subkey created or deleted
constexpr unsigned kNotifyAttributes = 0x2;  // never raised: keys have no attributes here
constexpr unsigned kNotifyLastSet = 0x4;     // value set or deleted
constexpr unsigned kNotifySecurity = 0x8;    // never raised
constexpr unsigned kNotifyAll = 0xF;

// A reference to an open key: its identity in the file and its folded path
// from the hive root ("" for the root). Identities are never reused, so a
// reference to a deleted key stays dead even if a key of that name returns.
struct Key {
    std::int64_t id = 0;
    std::string path;
};

struct Value {
    std::string name;
    std::uint32_t type = kTypeNone;
    std::vector<std::uint8_t> data;
};

enum class Create { WithParents, ParentMustExist };

using WatchId = std::uint64_t;
// Runs on the store's watcher thread; returns whether to keep watching.
using WatchCallback = std::function<bool()>;

class Store {
  public:
    // Opens (creating when missing) the hive file and its folder.
    static Status open(const std::string& file, std::shared_ptr<Store>* out);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& file() const;
    Key root() const;

    // subPath is relative to base; "" names base itself.
    Status openKey(const Key& base, std::string_view subPath, Key* out);
    // With ParentMustExist only the last component may be missing.
    Status createKey(const Key& base, std::string_view subPath, Create mode, Key* out,
                     bool* created = nullptr);
    // Deletes a key without subkeys, with its values. "" deletes base itself.
    Status deleteKey(const Key& base, std::string_view subPath);
    // Deletes a key and everything below it; for the hive root, everything below it.
    Status deleteTree(const Key& base, std::string_view subPath);
    // Ok while the key exists; KeyDeleted after.
    Status check(const Key& key);

    Status queryValue(const Key& key, std::string_view name, Value* out);
    Status setValue(const Key& key, std::string_view name, std::uint32_t type,
                    std::span<const std::uint8_t> data);
    Status deleteValue(const Key& key, std::string_view name);

    // Subkeys in case-insensitive name order, values in the order they were
    // first set. lastWrite: 100 ns units since 1601 (the platform's FILETIME).
    Status subkeyAt(const Key& key, std::uint32_t index, std::string* name,
                    std::uint64_t* lastWrite = nullptr);
    Status valueAt(const Key& key, std::uint32_t index, Value* out);
    Status subkeys(const Key& key, std::vector<std::string>* names);
    Status values(const Key& key, std::vector<Value>* out);

    // Runs body as one transaction that holds the write lock of the file from
    // the start, so a read-modify-write is atomic across processes. Store
    // calls made by body join it (each in its own savepoint, so a failed call
    // leaves nothing behind); a body that answers anything but Ok rolls the
    // whole transaction back. Other threads of this process wait for the
    // store while body runs, so body must not wait for them.
    Status atomically(const std::function<Status()>& body);

    // Calls cb after each change of key (or, with subtree, of any key below
    // it) that matches filter, made by any process from now on; deleting the
    // key wakes it whatever the filter. Changes made by other processes are
    // noticed within about 50 ms.
    Status watch(const Key& key, bool subtree, unsigned filter, WatchCallback cb, WatchId* id);
    // After unwatch returns the callback is not running and never runs again
    // (unless unwatch is called from the callback itself). Not to be called
    // from inside atomically: a running callback may be waiting for the store.
    void unwatch(WatchId id);

    // Runs the database's own consistency check.
    Status verify();

    // For tests of the watcher thread: its next `count` reads of the change
    // log fail, as a busy or damaged file would make them fail.
    void failChangeLogReads(int count);

    struct Impl;

  private:
    explicit Store(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Typed helpers over queryValue/setValue.
Status setDword(Store& store, const Key& key, std::string_view name, std::uint32_t value);
// NotFound unless the value is a REG_DWORD of exactly 4 bytes.
Status queryDword(Store& store, const Key& key, std::string_view name, std::uint32_t* value);
Status setString(Store& store, const Key& key, std::string_view name, std::string_view text);
// NotFound unless the value is a REG_SZ.
Status queryString(Store& store, const Key& key, std::string_view name, std::string* text);

}  // namespace regstore
