#include "platform/kernel/routine_table.h"

#include <mutex>
#include <unordered_map>

namespace kroutine {
namespace {

struct Entry {
    std::type_index type;
    AnyRoutine routine;
    void* object;
};

struct Table {
    std::mutex lock;
    std::unordered_map<Token, Entry> entries;
    Token next = 1;
};

Table& table() {
    static Table* t = new Table();
    return *t;
}

// Far more than any number of devices and connections the host can have; the
// bound keeps a misbehaving caller from growing the table without end.
constexpr std::size_t kMaxEntries = 1u << 20;

}  // namespace

Token addEntry(std::type_index type, AnyRoutine routine, void* object) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.entries.size() >= kMaxEntries) return 0;
    // Tokens are not reused soon after removal, so a stale token held by the
    // other side fails to resolve rather than reaching a new owner.
    while (t.next == 0 || t.entries.count(t.next)) ++t.next;
    Token token = t.next++;
    t.entries.emplace(token, Entry{type, routine, object});
    return token;
}

bool lookupEntry(Token token, std::type_index type, AnyRoutine* routine, void** object) {
    if (token == 0) return false;
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find(token);
    if (it == t.entries.end() || it->second.type != type) return false;
    if (routine) *routine = it->second.routine;
    if (object) *object = it->second.object;
    return true;
}

void remove(Token token) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    t.entries.erase(token);
}

std::size_t count() {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    return t.entries.size();
}

}  // namespace kroutine
