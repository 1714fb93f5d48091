// The download progress line: name, bytes so far and in all, rate and the
// time left. It is drawn on standard error only when that is a terminal and
// the user did not ask for quiet, and redrawn at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pav512 {

std::string formatBytes(std::uint64_t bytes);     // "812 B", "14.1 KiB", "3.2 MiB"
std::string formatDuration(double seconds);       // "0:07", "12:30", "1:02:03"
// One line of at most `width` columns.
std::string progressLine(const std::string& label, std::uint64_t done, std::uint64_t total,
                         double seconds, int width);

class Progress {
  public:
    Progress(std::string label, std::uint64_t total, bool enabled);
    ~Progress();
    void update(std::uint64_t done);
    // Clears the line (the caller prints its own result line).
    void finish();

  private:
    void draw(bool force);
    std::string label_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// Standard error is a terminal.
bool stderrIsTerminal();

}  // namespace pav512
