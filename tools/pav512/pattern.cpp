#include "tools/pav512/pattern.h"

#include <cctype>
#include <cstdio>

namespace pav512 {
namespace {

std::string padded(std::size_t v, int width) {
    std::string s = std::to_string(v);
    if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
    return s;
}

// A field's text as one path component: no separator, no hidden or parent name.
std::string safe(std::string s) {
    for (char& c : s)
        if (c == '/' || c == '\0') c = '_';
    if (!s.empty() && s[0] == '.') s[0] = '_';
    return s;
}

}  // namespace

bool Pattern::compile(const std::string& text, std::string* error) {
    pieces_.clear();
    text_ = text;
    auto fail = [&](const std::string& why) {
        *error = "Bad file-name pattern \"" + text + "\": " + why + ".";
        pieces_.clear();
        return false;
    };
    if (text.empty()) return fail("it is empty");
    if (text[0] == '/') return fail("it must be relative (choose the folder with -o)");
    bool anyField = false;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != '%') {
            if (pieces_.empty() || pieces_.back().code != 0) pieces_.push_back({});
            pieces_.back().literal += text[i++];
            continue;
        }
        ++i;
        int width = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            width = width * 10 + (text[i] - '0');
            if (width > 12) return fail("a width is larger than 12");
            ++i;
        }
        if (i == text.size()) return fail("it ends inside a '%' code");
        char code = text[i++];
        if (code == '%') {
            if (width) return fail("'%%' takes no width");
            if (pieces_.empty() || pieces_.back().code != 0) pieces_.push_back({});
            pieces_.back().literal += '%';
            continue;
        }
        if (code != 'n' && code != 'c' && code != 'f' && code != 'k' && code != 'e')
            return fail(std::string("'%") + code + "' is not a code (use %n, %c, %f, %k, %e or %%)");
        if (width && code != 'n' && code != 'c')
            return fail(std::string("only %n and %c take a width, not '%") + code + "'");
        pieces_.push_back({code, width, {}});
        if (code == 'n' || code == 'c' || code == 'f') anyField = true;
    }
    // Literal folder names are checked here; fields are made safe when rendered.
    std::string skeleton;
    for (const Piece& p : pieces_) skeleton += p.code ? std::string("x") : p.literal;
    std::size_t start = 0;
    while (start <= skeleton.size()) {
        std::size_t end = skeleton.find('/', start);
        if (end == std::string::npos) end = skeleton.size();
        std::string part = skeleton.substr(start, end - start);
        if (part.empty()) return fail(end == skeleton.size() ? "it ends with '/'" : "it has an empty folder name");
        if (part == "." || part == "..") return fail("it may not name '.' or '..'");
        start = end + 1;
    }
    // Without %n, %c or %f every file would get the same name.
    if (!anyField) return fail("it needs %n, %c or %f to tell the files apart");
    return true;
}

std::string Pattern::render(const FileFields& f) const {
    std::string out;
    for (const Piece& p : pieces_) {
        switch (p.code) {
            case 0: out += p.literal; break;
            case 'n': out += padded(f.number, p.width); break;
            case 'c': out += padded(f.counter, p.width); break;
            case 'f': out += safe(f.name); break;
            case 'k': out += safe(f.kind); break;
            case 'e': out += safe(f.extension); break;
        }
    }
    return out;
}

}  // namespace pav512
