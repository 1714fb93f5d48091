// What this tool has downloaded from one camera, so that `get --new` fetches
// only the rest on cameras that keep no "downloaded" flag of their own. An
// object is known by what identifies it on the camera: its storage, its file
// name, its size and its date. The ledger is a text file per camera under
// the user's state folder; each download appends one line as soon as its file
// is in place, so an interrupted run keeps what it finished, and a torn last
// line is ignored.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>

namespace pav512 {

struct LedgerKey {
    std::uint32_t storage = 0;
    std::string name;
    std::uint64_t size = 0;
    std::string date;
    bool operator<(const LedgerKey& o) const {
        return std::tie(storage, name, size, date) < std::tie(o.storage, o.name, o.size, o.date);
    }
    bool operator==(const LedgerKey& o) const {
        return std::tie(storage, name, size, date) == std::tie(o.storage, o.name, o.size, o.date);
    }
};

class Ledger {
  public:
    // The ledger of the camera called `cameraId` (any text; it is made safe
    // as a file name) in `folder`, or in the default folder when empty:
    // $XDG_STATE_HOME/pav512/downloaded, else ~/.local/state/pav512/downloaded.
    Ledger(const std::string& cameraId, const std::string& folder = std::string());

    // Reads the file; a missing file is an empty ledger. False (with `error`)
    // only when the file exists and cannot be read.
    bool load(std::string* error);
    bool contains(const LedgerKey& key) const { return keys_.count(key) != 0; }
    // Appends the key to the file and to the set in memory.
    bool record(const LedgerKey& key, std::string* error);
    std::size_t size() const { return keys_.size(); }
    const std::string& path() const { return path_; }

    static std::string defaultFolder();

  private:
    std::string path_;
    std::set<LedgerKey> keys_;
};

}  // namespace pav512
