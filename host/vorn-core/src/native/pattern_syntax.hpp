// Translation of Python `re` pattern syntax to the PCRE2 dialect the engine compiles.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::masking {

struct TranslatedPattern {
    std::u32string pcre;
    // source_offset[i] is the offset in the original pattern of PCRE2 code unit i;
    // one extra entry maps the end of the translated pattern.
    std::vector<std::size_t> source_offset;
};

// Rewrites the few constructs whose meaning differs between Python's `re` (on str)
// and PCRE2 in UCP mode, so that a pattern written for `re` matches the same text:
//   \s and \S      Python's whitespace set (str.isspace) differs from PCRE2's
//                  (U+001C..U+001F are whitespace, U+180E is not);
//   \Z             end of subject only (PCRE2 spells it \z);
//   \uXXXX, \UXXXXXXXX   code point escapes;
//   {,n}           a quantifier in Python, a literal in PCRE2 10.42;
//   '[' in a set   always a literal in Python (PCRE2 would read [:name:]).
// Comments (?#...) are copied as they are. Everything else is passed through
// unchanged, so PCRE2 syntax that Python lacks is accepted as PCRE2 defines it.
TranslatedPattern translate_python_pattern(std::u32string_view source);

}  // namespace vorn::masking
