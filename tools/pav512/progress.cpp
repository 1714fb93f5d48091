#include "tools/pav512/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace pav512 {

std::string formatBytes(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " B";
    static const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(bytes);
    int u = -1;
    while (v >= 1024 && u < 3) {
        v /= 1024;
        ++u;
    }
    char text[32];
    std::snprintf(text, sizeof text, v < 10 ? "%.1f %s" : "%.0f %s", v, units[u]);
    return text;
}

std::string formatDuration(double seconds) {
    if (!(seconds >= 0) || std::isinf(seconds)) return "--:--";
    auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

std::string progressLine(const std::string& label, std::uint64_t done, std::uint64_t total,
                         double seconds, int width) {
    double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string figures = formatBytes(done) + " / " + formatBytes(total);
    figures += "  " + (rate > 0 ? formatBytes(static_cast<std::uint64_t>(rate)) + "/s" : std::string("-- B/s"));
    double left = rate > 0 && total >= done ? static_cast<double>(total - done) / rate : -1;
    figures += "  ETA " + (done >= total ? std::string("0:00") : formatDuration(left));
    std::string name = label;
    int barWidth = width - static_cast<int>(figures.size()) - 24 - 6;
    if (barWidth > 30) barWidth = 30;
    if (name.size() > 22) name = name.substr(0, 21) + "~";
    name.resize(22, ' ');
    std::string line = name + " ";
    if (barWidth >= 5) {
        int filled = total ? static_cast<int>(static_cast<double>(done) / static_cast<double>(total) * barWidth) : barWidth;
        if (filled > barWidth) filled = barWidth;
        line += "[" + std::string(static_cast<std::size_t>(filled), '=') +
                std::string(static_cast<std::size_t>(barWidth - filled), ' ') + "] ";
    }
    line += figures;
    if (static_cast<int>(line.size()) > width && width > 0) line.resize(static_cast<std::size_t>(width));
    return line;
}

bool stderrIsTerminal() {
    return ::isatty(2) == 1;
}

Progress::Progress(std::string label, std::uint64_t total, bool enabled)
    : label_(std::move(label)), total_(total), enabled_(enabled),
      start_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    finish();
}

void Progress::update(std::uint64_t done) {
    done_ = done;
    draw(false);
}

void Progress::draw(bool force) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    int width = 80;
    winsize ws{};
    if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) width = ws.ws_col - 1;
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::string line = progressLine(label_, done_, total_, seconds, width);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (enabled_ && drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    drawn_ = false;
    enabled_ = false;
}

}  // namespace pav512
