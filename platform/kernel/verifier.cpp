#include "platform/kernel/verifier.h"

#include <cstdio>
#include <mutex>

namespace kverifier {
namespace {

struct State {
    std::mutex lock;
    Handler handler;
    std::vector<Violation> seen;
};

State& state() {
    static State* s = new State();
    return *s;
}

}  // namespace

void report(const std::string& check, const std::string& detail) {
    Handler h;
    Violation v{check, detail};
    {
        std::lock_guard<std::mutex> g(state().lock);
        state().seen.push_back(v);
        h = state().handler;
    }
    if (h)
        h(v);
    else
        std::fprintf(stderr, "kernel verifier: %s: %s\n", check.c_str(), detail.c_str());
}

Handler setHandler(Handler handler) {
    std::lock_guard<std::mutex> g(state().lock);
    Handler old = std::move(state().handler);
    state().handler = std::move(handler);
    return old;
}

std::vector<Violation> seen() {
    std::lock_guard<std::mutex> g(state().lock);
    return state().seen;
}

void clearSeen() {
    std::lock_guard<std::mutex> g(state().lock);
    state().seen.clear();
}

}  // namespace kverifier
