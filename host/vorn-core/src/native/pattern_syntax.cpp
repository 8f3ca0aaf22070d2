#include "pattern_syntax.hpp"

namespace vorn::masking {
namespace {

// Python's \s on str: every code point for which str.isspace() is true.
constexpr std::u32string_view kSpaceItems =
    U"\\x{9}-\\x{d}\\x{1c}-\\x{20}\\x{85}\\x{a0}\\x{1680}\\x{2000}-\\x{200a}"
    U"\\x{2028}\\x{2029}\\x{202f}\\x{205f}\\x{3000}";
// Its complement over all code points, usable inside a set.
constexpr std::u32string_view kNonSpaceItems =
    U"\\x{0}-\\x{8}\\x{e}-\\x{1b}\\x{21}-\\x{84}\\x{86}-\\x{9f}\\x{a1}-\\x{167f}"
    U"\\x{1681}-\\x{1fff}\\x{200b}-\\x{2027}\\x{202a}-\\x{202e}\\x{2030}-\\x{205e}"
    U"\\x{2060}-\\x{2fff}\\x{3001}-\\x{10ffff}";

bool is_hex(char32_t c) {
    return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F');
}

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }

class Translator {
  public:
    explicit Translator(std::u32string_view src) : src_(src) {}

    TranslatedPattern run() {
        bool in_set = false;
        std::size_t i = 0;
        while (i < src_.size()) {
            const char32_t c = src_[i];
            if (c == U'\\' && i + 1 < src_.size()) {
                i = escape(i, in_set);
                continue;
            }
            if (!in_set && src_.substr(i, 3) == U"(?#") {
                // A comment runs to the first ')' and may hold any character.
                const std::size_t close = src_.find(U')', i);
                const std::size_t stop = close == std::u32string_view::npos ? src_.size() : close + 1;
                for (; i < stop; ++i) emit_char(src_[i], i);
                continue;
            }
            if (!in_set && c == U'[') {
                emit(U"[", i);
                ++i;
                if (i < src_.size() && src_[i] == U'^') emit(U"^", i++);
                // A ']' right after the opening bracket is a literal member.
                if (i < src_.size() && src_[i] == U']') emit(U"\\]", i++);
                in_set = true;
                continue;
            }
            if (in_set && c == U'[') {
                emit(U"\\[", i++);
                continue;
            }
            if (in_set && c == U']') {
                in_set = false;
                emit(U"]", i++);
                continue;
            }
            if (!in_set && c == U'{' && i + 1 < src_.size() && src_[i + 1] == U',') {
                std::size_t j = i + 2;
                while (j < src_.size() && is_digit(src_[j])) ++j;
                if (j > i + 2 && j < src_.size() && src_[j] == U'}') {
                    emit(U"{0,", i);
                    for (std::size_t k = i + 2; k <= j; ++k) emit_char(src_[k], k);
                    i = j + 1;
                    continue;
                }
            }
            emit_char(c, i++);
        }
        out_.source_offset.push_back(src_.size());
        return std::move(out_);
    }

  private:
    std::size_t escape(std::size_t i, bool in_set) {
        const char32_t e = src_[i + 1];
        switch (e) {
            case U's':
            case U'S':
                emit_space_class(i, in_set, e == U'S');
                return i + 2;
            case U'Z':
                if (!in_set) {
                    emit(U"\\z", i);
                    return i + 2;
                }
                break;
            case U'u':
            case U'U': {
                const std::size_t digits = e == U'u' ? 4 : 8;
                if (i + 2 + digits <= src_.size()) {
                    bool ok = true;
                    for (std::size_t k = 0; k < digits; ++k) ok = ok && is_hex(src_[i + 2 + k]);
                    if (ok) {
                        emit(U"\\x{", i);
                        for (std::size_t k = 0; k < digits; ++k) emit_char(src_[i + 2 + k], i + 2 + k);
                        emit(U"}", i);
                        return i + 2 + digits;
                    }
                }
                break;
            }
            default:
                break;
        }
        emit_char(U'\\', i);
        emit_char(e, i + 1);
        return i + 2;
    }

    // Python's \s (or \S when `negated`), inside or outside a set.
    void emit_space_class(std::size_t at, bool in_set, bool negated) {
        if (in_set) {
            emit(negated ? kNonSpaceItems : kSpaceItems, at);
            return;
        }
        emit(negated ? U"[^" : U"[", at);
        emit(kSpaceItems, at);
        emit(U"]", at);
    }

    void emit(std::u32string_view text, std::size_t at) {
        for (char32_t c : text) emit_char(c, at);
    }

    void emit_char(char32_t c, std::size_t at) {
        out_.pcre.push_back(c);
        out_.source_offset.push_back(at);
    }

    std::u32string_view src_;
    TranslatedPattern out_;
};

}  // namespace

TranslatedPattern translate_python_pattern(std::u32string_view source) {
    return Translator(source).run();
}

}  // namespace vorn::masking
