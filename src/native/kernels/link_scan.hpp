#pragma once
// Download-link scan: finds the sandbox paths of markdown links such as
// "[Download a.csv](sandbox:/files/a.csv)".
//
// The results equal those of Python's re.findall with the pattern
//     \[[^\]]+\]\(sandbox:(/[^\)]+)\)
// on every input, in time linear in the input's length. The regex engine
// retries at every "[" and rescans up to the next "]", which is quadratic on a
// long run of "[" without "]"; this scan decides every start position sharing
// the same "]" at once.
//
// Plain C++20, templated on the code-unit type so that it runs directly on the
// 1-, 2- or 4-byte storage of a Python str (every character it tests is ASCII).

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <vector>

namespace vorn::link_scan {

// Half-open range [begin, end) of one captured path, in code units.
struct Span {
    std::size_t begin;
    std::size_t end;
};

// Position of the first `c` at or after `from`, or s.size().
template <typename CharT>
std::size_t find_from(std::basic_string_view<CharT> s, std::size_t from, char c) {
    if (from >= s.size()) return s.size();
    if constexpr (sizeof(CharT) == 1) {
        // memchr is vectorised; the generic loop is not.
        const void *hit = std::memchr(s.data() + from, static_cast<unsigned char>(c), s.size() - from);
        return hit ? static_cast<std::size_t>(static_cast<const CharT *>(hit) - s.data()) : s.size();
    } else {
        return static_cast<std::size_t>(std::find(s.begin() + from, s.end(), CharT(c)) - s.begin());
    }
}

template <typename CharT>
std::vector<Span> find_sandbox_links(std::basic_string_view<CharT> s) {
    static constexpr char kScheme[] = "(sandbox:/";  // 10 characters after the "]"
    constexpr std::size_t kSchemeLen = sizeof(kScheme) - 1;

    std::vector<Span> out;
    const std::size_t n = s.size();
    std::size_t close = 0;  // candidate "]" position, never moves backwards
    std::size_t i = 0;
    while (i < n) {
        i = find_from(s, i, '[');
        if (i >= n) break;
        // "[^\]]+" can only stop at the first "]" after i: backing off leaves a
        // non-"]" character where "]" is required.
        if (close <= i) close = find_from(s, i + 1, ']');
        if (close >= n) break;  // no "]" left: no later start can match either
        if (close == i + 1) {   // empty link text
            i = close + 1;
            continue;
        }
        // Every start between i and close shares this "]", so they all succeed
        // or fail together on what follows it.
        std::size_t p = close + 1;
        bool scheme_ok = n - p > kSchemeLen;  // room for the scheme and one path character
        for (std::size_t k = 0; scheme_ok && k < kSchemeLen; ++k)
            scheme_ok = s[p + k] == CharT(kScheme[k]);
        if (!scheme_ok) {
            i = close + 1;
            continue;
        }
        const std::size_t path_begin = p + kSchemeLen - 1;  // the "/"
        std::size_t rparen = path_begin + 1;
        if (s[rparen] == CharT(')')) {  // "/" alone: "[^\)]+" needs one character
            i = close + 1;
            continue;
        }
        rparen = find_from(s, rparen, ')');
        if (rparen >= n) break;  // no ")" left: no later link can close either
        out.push_back(Span{path_begin, rparen});
        i = rparen + 1;
    }
    return out;
}

}  // namespace vorn::link_scan
