#include "tools/pav512/ranges.h"

#include <cctype>
#include <limits>
#include <set>

namespace pav512 {
namespace {

enum class Number { None, Ok, TooLarge };

Number readNumber(const std::string& s, std::size_t* pos, std::size_t* out) {
    std::size_t start = *pos;
    std::size_t v = 0;
    bool large = false;
    while (*pos < s.size() && std::isdigit(static_cast<unsigned char>(s[*pos]))) {
        std::size_t digit = static_cast<std::size_t>(s[*pos] - '0');
        if (v > (std::numeric_limits<std::size_t>::max() - digit) / 10) large = true;
        if (!large) v = v * 10 + digit;
        ++*pos;
    }
    *out = v;
    if (*pos == start) return Number::None;
    return large ? Number::TooLarge : Number::Ok;
}

std::string fileCount(std::size_t count) {
    return count == 1 ? "1 file" : std::to_string(count) + " files";
}

}  // namespace

bool looksLikeRange(const std::string& text) {
    bool digit = false;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)))
            digit = true;
        else if (c != '-' && c != ',' && c != ' ')
            return false;
    }
    return digit;
}

RangeResult parseRange(const std::string& text, std::size_t count) {
    RangeResult r;
    std::string s;
    for (char c : text)
        if (c != ' ' && c != '\t') s += c;
    auto fail = [&](std::string why) {
        r.numbers.clear();
        r.error = "Bad range \"" + text + "\": " + std::move(why) + ".";
        return r;
    };
    if (s.empty()) return fail("it names no file");
    std::set<std::size_t> chosen;
    std::size_t pos = 0;
    while (true) {
        std::size_t first = 0;
        Number n1 = readNumber(s, &pos, &first);
        if (n1 == Number::TooLarge) return fail("a number is too large");
        if (n1 == Number::None) {
            if (pos < s.size() && s[pos] != ',' && s[pos] != '-')
                return fail(std::string("'") + s[pos] + "' is neither a number, '-' nor ','");
            return fail("each item must start with a number");
        }
        std::size_t last = first;
        if (pos < s.size() && s[pos] == '-') {
            ++pos;
            if (pos == s.size() || s[pos] == ',') {
                last = count;  // "N-": to the last file
                if (first > count && count > 0) last = first;
            } else {
                Number n2 = readNumber(s, &pos, &last);
                if (n2 == Number::TooLarge) return fail("a number is too large");
                if (n2 == Number::None) return fail(std::string("'") + s[pos] + "' is not a number");
            }
        }
        if (first == 0 || last == 0) return fail("files are numbered from 1");
        if (last < first)
            return fail("the span " + std::to_string(first) + "-" + std::to_string(last) +
                        " runs backwards");
        if (count == 0) return fail("the camera holds no files");
        if (last > count)
            return fail("there is no file " + std::to_string(last > first ? last : first) +
                        ", the camera holds " + fileCount(count));
        for (std::size_t n = first; n <= last; ++n) chosen.insert(n);
        if (pos == s.size()) break;
        if (s[pos] != ',') return fail(std::string("'") + s[pos] + "' is not expected here");
        ++pos;
        if (pos == s.size()) return fail("it ends with ','");
    }
    r.numbers.assign(chosen.begin(), chosen.end());
    return r;
}

}  // namespace pav512
