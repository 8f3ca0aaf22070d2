// PCRE2 masking kernel: plain C++20, no Python headers.
//
// Text and patterns are sequences of code points (char32_t), matched with the
// 32-bit PCRE2 library in non-UTF mode with Unicode properties (UCP). Every
// 32-bit value is a valid code unit there, so lone surrogates need no special
// handling and offsets are code point indices.
#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 32
#endif
#include <pcre2.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "anchors.hpp"
#include "prefilter.hpp"

namespace vorn::masking {

// Resource bounds applied to every match attempt of every rule.
inline constexpr std::uint32_t kMatchLimit = 2'000'000;
inline constexpr std::uint32_t kDepthLimit = 100'000;
inline constexpr std::size_t kJitStackStart = 32 * 1024;
inline constexpr std::size_t kJitStackMax = 8 * 1024 * 1024;
// Wall-clock budget for one rule over one text (a base plus a share per code
// point), checked at match starts: the match limit bounds one start, this
// bounds a pattern that does a little too much work at every start.
inline constexpr double kRuleTimeBudgetSeconds = 0.2;
inline constexpr double kRuleTimeBudgetPerCodePoint = 100e-9;

// A pattern that PCRE2 refuses to compile.
class PatternError : public std::runtime_error {
  public:
    PatternError(std::string rule, std::string reason, std::size_t offset);
    const std::string& rule() const noexcept { return rule_; }
    const std::string& reason() const noexcept { return reason_; }
    std::size_t offset() const noexcept { return offset_; }

  private:
    std::string rule_;
    std::string reason_;
    std::size_t offset_;
};

// A rule that failed while matching (a resource limit or any other PCRE2 error).
class MatchError : public std::runtime_error {
  public:
    MatchError(std::string rule, std::string reason, int code);
    const std::string& rule() const noexcept { return rule_; }
    const std::string& reason() const noexcept { return reason_; }
    int code() const noexcept { return code_; }

  private:
    std::string rule_;
    std::string reason_;
    int code_;
};

// One rule, compiled once (and JIT-compiled where the platform allows) and
// shareable between threads. A match is replaced by `replacement`; when the
// pattern has a group named "secret" that took part in the match, only that
// group's span is replaced and the rest of the match is kept.
class CompiledPattern {
  public:
    CompiledPattern(std::string name, std::u32string_view python_pattern, std::u32string replacement);
    ~CompiledPattern();
    CompiledPattern(const CompiledPattern&) = delete;
    CompiledPattern& operator=(const CompiledPattern&) = delete;

    const std::string& name() const noexcept { return name_; }
    const std::u32string& replacement() const noexcept { return replacement_; }
    bool jit() const noexcept { return jit_; }
    std::uint32_t secret_group() const noexcept { return secret_group_; }
    std::uint32_t capture_count() const noexcept { return capture_count_; }
    const pcre2_code* code() const noexcept { return code_; }
    // Where matches can start (see find_anchors), and the pattern compiled to
    // search a window (it takes an offset limit), without the per-start callout.
    const Anchors& anchors() const noexcept { return anchors_; }
    const pcre2_code* window_code() const noexcept { return window_code_; }
    bool window_jit() const noexcept { return window_jit_; }
    // The same codes for ASCII texts (UTF-8); ascii() tells whether the rule has them.
    bool ascii() const noexcept { return code8_ != nullptr; }
    const pcre2_code_8* code8() const noexcept { return code8_; }
    const pcre2_code_8* window_code8() const noexcept { return window_code8_; }
    bool window_jit8() const noexcept { return window_jit8_; }
    const std::string& replacement8() const noexcept { return replacement8_; }

  private:
    std::string name_;
    std::u32string replacement_;
    Anchors anchors_;
    pcre2_code* code_ = nullptr;
    pcre2_code* window_code_ = nullptr;
    bool window_jit_ = false;
    void compile_narrow(std::u32string_view pcre);
    std::string replacement8_;
    pcre2_code_8* code8_ = nullptr;
    pcre2_code_8* window_code8_ = nullptr;
    bool window_jit8_ = false;
    bool jit_ = false;
    std::uint32_t secret_group_ = 0;
    std::uint32_t capture_count_ = 0;
};

// Frees a buffer's memory once it is large; smaller ones are kept for reuse.
template <class C>
void release_if_large(std::basic_string<C>& buffer) {
    // Up to 4 MB per buffer (a megabyte of ASCII text, a quarter of other text)
    // stays with each thread that masked such a text; larger ones are freed.
    constexpr std::size_t kKeep = 4u << 20;  // bytes
    if (buffer.capacity() * sizeof(C) > kKeep) std::basic_string<C>().swap(buffer);
}

// Applies the rules in order, each to the result of the previous one. Returns
// false when no rule changed the text; otherwise stores the masked text in
// `out` and returns true. Matches are found left to right without overlap,
// as Python's re.finditer finds them; an empty match (or an empty secret
// group) masks nothing. Throws MatchError when a rule fails.
bool mask(std::u32string_view text, std::span<const CompiledPattern* const> rules, std::u32string& out);

// An ordered list of rules with one literal search compiled for all of them:
// masks exactly as `mask` does with the same rules. One scan of the text finds
// every rule's anchors; a rule with anchors then tries only the starts just
// before them, and a rule without (or a rule list the search library cannot
// take) runs over the whole text. When a rule changes the text, the anchors
// are carried over to the new text and looked for again only around the
// placeholders. The rules must outlive the set.
class RuleSet {
  public:
    explicit RuleSet(std::vector<const CompiledPattern*> rules);
    // Whether rule `i` runs only at its anchors.
    bool prefiltered(std::size_t i) const { return !db_.empty() && anchored_[i]; }
    struct Hit {
        std::uint32_t start;
        std::uint32_t literal;
    };
    // The anchors found in a text's one-byte view (see narrow_view).
    struct Scan {
        std::vector<Hit> hits;
        bool ok = false;  // false: the search did not run, every rule runs in full
    };
    // Scans the view of a text; returns false when masking cannot change the text.
    bool scan(std::string_view view, Scan& found) const;
    // As `mask`, given what `scan` found in the same text.
    bool mask(std::u32string_view text, Scan& found, std::u32string& out) const;
    // The same for an ASCII text, read in place (its view is the text itself);
    // only when ascii() and the scan ran.
    bool ascii() const noexcept { return ascii_; }
    bool mask_ascii(std::string_view text, Scan& found, std::string& out) const;

  private:
    template <class W, class V, class S>
    bool run(V text, Scan& found, S& out) const;

    std::vector<const CompiledPattern*> rules_;
    bool ascii_ = true;
    std::vector<bool> anchored_;
    bool any_full_ = false;
    LiteralDatabase db_;
    std::vector<std::uint32_t> length_;   // per literal
    std::vector<std::vector<std::uint32_t>> literals_of_;  // per rule, its literals
    // Per rule: the anchors lying wholly inside its placeholder (offset,
    // literal), and whether an anchor can straddle a placeholder's edge.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> inside_;
    std::vector<bool> straddles_;
    std::uint32_t longest_ = 0;
};

}  // namespace vorn::masking
