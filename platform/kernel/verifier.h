// The checks a driver verifier makes, as the kernel model sees them: a request
// completed twice, completed with its cancel routine still set, still pending
// when its device is deleted, pool freed twice or with the wrong tag, and so on.
// A violation is reported to the installed handler (tests turn it into a
// failure); without one it is printed to standard error.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kverifier {

struct Violation {
    std::string check;   // short name: "irp-double-complete", "pool-double-free", ...
    std::string detail;  // what was seen
};

using Handler = std::function<void(const Violation&)>;

void report(const std::string& check, const std::string& detail);
// Installs the handler; returns the previous one.
Handler setHandler(Handler handler);
// Every violation seen so far in this process (also those passed to a handler).
std::vector<Violation> seen();
void clearSeen();

}  // namespace kverifier
