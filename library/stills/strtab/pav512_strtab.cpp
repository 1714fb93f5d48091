// pav512-strtab: builds a string-table file from readable sources, one source
// file per language, in the order the languages take in the table.
//
//   pav512-strtab [--width W] -o TABLE SOURCE...
//
// A source holds one "language = NAME" line (the name "LanguageName" selects)
// and then "KEY = TEXT" lines; blank lines and lines starting with # are
// skipped. TEXT runs to the end of the line without its surrounding blanks;
// \n, \t, \\ and \s (a blank kept at either end) are the escapes. Every
// source must hold the same keys (the first source's order is the table's),
// and a text's printf conversions must be those of the first language's, as
// the dialogs pass their numbers into them. The slot width is the longest
// string plus its terminator, rounded up to 4, unless --width asks for more.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxLanguageName = 127;  // "LanguageName" is read into 128 bytes

struct Source {
    std::string path;
    std::string language;
    std::vector<std::string> keys;
    std::map<std::string, std::string> texts;
};

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

bool unescape(const std::string& in, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out->push_back(in[i]);
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
            case 'n': out->push_back('\n'); break;
            case 't': out->push_back('\t'); break;
            case 's': out->push_back(' '); break;
            case '\\': out->push_back('\\'); break;
            default: return false;
        }
    }
    return true;
}

// The conversions of a printf format, in order ("%d", "%s", ...); "%%" is none.
std::vector<std::string> conversions(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        std::size_t j = i + 1;
        while (j < text.size() && std::string("-+ #0123456789.lhzjt").find(text[j]) != std::string::npos)
            ++j;
        if (j < text.size() && text[j] == '%' && j == i + 1) {
            i = j;
            continue;
        }
        out.push_back(text.substr(i, j < text.size() ? j - i + 1 : j - i));
        i = j;
    }
    return out;
}

bool fail(const std::string& where, const std::string& why) {
    std::cerr << "pav512-strtab: " << where << ": " << why << "\n";
    return false;
}

bool readSource(const std::string& path, Source* s) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(path, "cannot be read");
    s->path = path;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        const auto eq = t.find('=');
        if (eq == std::string::npos) return fail(where, "expected KEY = TEXT");
        const std::string key = trim(t.substr(0, eq));
        std::string text;
        if (!unescape(trim(t.substr(eq + 1)), &text)) return fail(where, "bad escape");
        if (key.empty() || key.find_first_of(" \t") != std::string::npos)
            return fail(where, "a key is one word");
        if (text.find('\0') != std::string::npos) return fail(where, "a text holds no NUL");
        if (key == "language") {
            if (!s->language.empty()) return fail(where, "the language is named twice");
            if (text.empty() || text.size() > kMaxLanguageName)
                return fail(where, "a language name takes 1 to 127 bytes");
            s->language = text;
            continue;
        }
        if (s->texts.count(key)) return fail(where, "key " + key + " is there twice");
        s->keys.push_back(key);
        s->texts[key] = text;
    }
    if (s->language.empty()) return fail(path, "no \"language = NAME\" line");
    if (s->keys.empty()) return fail(path, "no texts");
    return true;
}

bool check(const std::vector<Source>& sources) {
    const Source& first = sources.front();
    for (const Source& s : sources) {
        for (const std::string& key : first.keys)
            if (!s.texts.count(key)) return fail(s.path, "has no text for " + key);
        for (const std::string& key : s.keys) {
            if (!first.texts.count(key))
                return fail(s.path, "key " + key + " is not in " + first.path);
            if (conversions(s.texts.at(key)) != conversions(first.texts.at(key)))
                return fail(s.path, "the conversions of " + key + " differ from " + first.path);
        }
    }
    return true;
}

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

int usage() {
    std::cerr << "usage: pav512-strtab [--width W] -o TABLE SOURCE...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    std::size_t width = 0;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "--width" && i + 1 < argc) {
            try {
                width = std::stoul(argv[++i]);
            } catch (...) {
                return usage();
            }
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            paths.push_back(a);
        }
    }
    if (output.empty() || paths.empty()) return usage();
    std::vector<Source> sources(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i)
        if (!readSource(paths[i], &sources[i])) return 1;
    if (!check(sources)) return 1;

    std::size_t longest = 0;
    for (const Source& s : sources) {
        longest = std::max(longest, s.language.size());
        for (const auto& [key, text] : s.texts) longest = std::max({longest, key.size(), text.size()});
    }
    const std::size_t needed = (longest + 1 + 3) / 4 * 4;
    if (width == 0) width = needed;
    if (width < longest + 1) return fail(output, "--width " + std::to_string(width) +
                                                     " leaves no room for the longest text"),
                                    1;
    const std::size_t languages = sources.size();
    const std::size_t texts = sources.front().keys.size();
    std::string table;
    put32(table, static_cast<std::uint32_t>(languages));
    put32(table, static_cast<std::uint32_t>(texts));
    put32(table, static_cast<std::uint32_t>(width));
    auto slot = [&](const std::string& text) {
        table += text;
        table.append(width - text.size(), '\0');
    };
    slot("");
    for (const Source& s : sources) slot(s.language);
    for (const std::string& key : sources.front().keys) {
        slot(key);
        for (const Source& s : sources) slot(s.texts.at(key));
    }
    const std::string temporary = output + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(table.data(), static_cast<std::streamsize>(table.size()));
        if (!out) return fail(temporary, "cannot be written"), 1;
    }
    if (std::rename(temporary.c_str(), output.c_str()) != 0)
        return fail(output, "cannot be written"), 1;
    return 0;
}
