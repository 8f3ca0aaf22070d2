// One-pass literal search on Vectorscan/Hyperscan, over a one-byte view of a
// text: every code point becomes one byte, so byte offsets are code point
// offsets. ASCII stays itself; the few code points that PCRE2 folds onto an
// ASCII letter without case (KELVIN SIGN, LONG S, and the dotted and dotless
// I) become that letter; any other code point becomes a byte >= 0x80 taken
// from its low bits. A literal occurs in a text only where its view occurs in
// the text's view, so the view finds every occurrence (and a few look-alikes,
// which the caller checks). Plain C++20, no Python headers.
#pragma once

#include <hs.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::masking {

inline unsigned char narrow(char32_t c) {
    if (c < 0x80) return static_cast<unsigned char>(c);
    switch (c) {
        case 0x212A: return 'k';
        case 0x017F: return 's';
        case 0x0130:
        case 0x0131: return 'i';
        default: return static_cast<unsigned char>(0x80 | (c & 0x7F));
    }
}

std::string narrow_view(std::u32string_view text);

// A literal database, compiled once; empty when there is nothing to search
// for or the library refused it.
class LiteralDatabase {
  public:
    struct Literal {
        std::string bytes;  // the one-byte view
        bool caseless = false;
    };
    LiteralDatabase() = default;
    explicit LiteralDatabase(const std::vector<Literal>& literals);
    bool empty() const noexcept { return db_ == nullptr; }

    // Calls on_hit(id, start) for every occurrence (overlapping ones too) of
    // every literal in `view`; returns false when the scan could not run.
    template <class F>
    bool scan(std::string_view view, F&& on_hit) const {
        struct Ctx {
            F* f;
            const std::vector<std::uint32_t>* lengths;
        } ctx{&on_hit, &lengths_};
        auto cb = [](unsigned id, unsigned long long, unsigned long long to, unsigned, void* data) -> int {
            auto* c = static_cast<Ctx*>(data);
            (*c->f)(id, static_cast<std::size_t>(to) - (*c->lengths)[id]);
            return 0;
        };
        return run(view, cb, &ctx);
    }

  private:
    using Callback = int (*)(unsigned, unsigned long long, unsigned long long, unsigned, void*);
    bool run(std::string_view view, Callback cb, void* ctx) const;

    struct Deleter {
        void operator()(hs_database_t* db) const noexcept { hs_free_database(db); }
    };
    std::unique_ptr<hs_database_t, Deleter> db_;
    std::uint64_t serial_ = 0;
    std::vector<std::uint32_t> lengths_;
};

// A set of literals replaced, in priority order, by one placeholder: the result
// is exactly that of replacing every occurrence of the first literal (leftmost,
// without overlap), then of the second in what that left, and so on.
class LiteralSet {
  public:
    LiteralSet(std::vector<std::u32string> literals, std::u32string replacement);
    // Whether one scan of `view` (the text's one-byte view) tells everything:
    // false means `replace` must read the text literal by literal.
    bool one_pass() const noexcept { return !db_.empty(); }
    // Returns false when nothing was replaced; else the result is in `out`.
    // `view` is the text's one-byte view, used when one_pass().
    bool replace(std::u32string_view text, std::string_view view, std::u32string& out) const;
    // The same for an ASCII text (its view is the text itself), when ascii().
    bool ascii() const noexcept { return !db_.empty() && !replacement_ascii_.empty(); }
    bool replace_ascii(std::string_view text, std::string& out) const;
    // Whether any literal may occur in the text of this view (one_pass() only).
    bool may_occur(std::string_view view) const;

  private:
    bool replace_in_turn(std::u32string_view text, std::u32string& out) const;
    template <class C>
    bool replace_scanned(std::basic_string_view<C> text, std::string_view view, std::basic_string<C>& out) const;

    std::vector<std::u32string> literals_;
    std::u32string replacement_;
    std::string replacement_ascii_;  // empty when the replacement is not ASCII
    LiteralDatabase db_;
};

}  // namespace vorn::masking
