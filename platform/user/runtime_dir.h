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
// `parent`/pav512-<uid>: a folder of the user's alone, made (mode 0700) when
// missing. Empty when that path is anything else: another user's folder, a
// link, a file, or a folder others may change. What a process with no runtime
// directory at all (no XDG_RUNTIME_DIR, as in a container or a cron job)
// uses under /tmp.
std::string privateFolderIn(const std::string& parent);
// The socket paths a client tries, in order.
std::vector<std::string> clientSocketPaths();
std::string socketPathIn(const std::string& directory);

}  // namespace uruntime
