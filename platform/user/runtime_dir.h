// Where pav512d puts its socket, and where clients look for it: the same rules
// on both sides. Per user by default ($PAV512_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/pav512); /run/pav512 when the host runs as a service.
#pragma once

#include <string>
#include <vector>

namespace uruntime {

constexpr char kServiceDir[] = "/run/pav512";

// The directory the host uses; `service` selects /run/pav512 unless
// PAV512_RUNTIME_DIR names another. Empty when nothing is configured.
std::string hostDirectory(bool service);
// The socket paths a client tries, in order.
std::vector<std::string> clientSocketPaths();
std::string socketPathIn(const std::string& directory);

}  // namespace uruntime
