// Unit test of the masking kernel on its own, without Python: built and run
// by test_native_kernel.py. Prints "ok" and exits 0 when every check holds.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "masking_engine.hpp"
#include "pattern_syntax.hpp"

using namespace vorn::masking;

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

std::u32string run(std::u32string_view text, std::vector<const CompiledPattern*> rules) {
    std::u32string out;
    return mask(text, rules, out) ? out : std::u32string(text);
}

}  // namespace

int main() {
    CompiledPattern key("KEY", U"\\bsk-[A-Za-z0-9]{6,}", U"[K]");
    CompiledPattern kv("KV", U"(?i)password\\s*=\\s*(?P<secret>\\S+)", U"[V]");

    check(run(U"x sk-abcdef y", {&key}) == U"x [K] y", "whole match replaced");
    check(run(U"PASSWORD = pw1 x", {&kv}) == U"PASSWORD = [V] x", "only the secret group replaced");
    std::u32string surrogates = U"\xD800 sk-abcdef \xDFFF";
    check(run(surrogates, {&key}) == U"\xD800 [K] \xDFFF", "surrogates are ordinary code points");
    std::u32string unchanged;
    check(!mask(U"nothing here", std::vector<const CompiledPattern*>{&key, &kv}, unchanged), "no change reported");

    // Python's \s: U+001C is whitespace, U+180E is not.
    CompiledPattern space("SPACE", U"\\s", U"_");
    check(run(U"\x1C\x180E", {&space}) == U"_\x180E", "Python whitespace set");
    check(translate_python_pattern(U"\\Z").pcre == U"\\z", "\\Z becomes \\z");

    try {
        CompiledPattern bad("BAD", U"ab(c", U"");
        check(false, "bad pattern must throw");
    } catch (const PatternError& e) {
        check(e.rule() == "BAD" && e.offset() == 4, "pattern error names rule and offset");
    }
    CompiledPattern slow("SLOW", U"(a+)+$", U"");
    try {
        run(std::u32string(100000, U'a') + U"b", {&slow});
        check(false, "pathological pattern must throw");
    } catch (const MatchError& e) {
        check(e.rule() == "SLOW" && e.code() == PCRE2_ERROR_MATCHLIMIT, "match limit reported");
    }

    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
