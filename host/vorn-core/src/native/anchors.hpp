// Necessary literals of a pattern: a set of strings one of which every match
// contains, at a bounded distance from the match's start. The prefilter looks
// for these literals; the exact rule then only has to try the few starts just
// before each of them. Plain C++20, no Python headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::masking {

// Anchors of one pattern. When `found`, every match of the pattern starts
// between `before` code points ahead of and `skip` code points after the
// start of an occurrence of one of `literals` (compared case-insensitively in
// ASCII when `caseless`; `skip` is non-zero only for a literal that a
// look-behind at the start of the pattern asks for).
// Literals are given as code points; each is at least one long.
struct Anchors {
    bool found = false;
    bool caseless = false;
    std::uint32_t before = 0;
    std::uint32_t skip = 0;
    std::vector<std::u32string> literals;
};

// Analyses a pattern in PCRE2 syntax (as the engine compiles it, UCP on, no
// other compile options). Anything the analysis does not understand makes it
// give up (`found` false), never guess: the rule then runs over the whole text.
Anchors find_anchors(std::u32string_view pcre_pattern);

}  // namespace vorn::masking
