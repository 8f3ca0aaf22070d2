#include "masking_engine.hpp"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <utility>

#include "pattern_syntax.hpp"

namespace vorn::masking {
namespace {

std::string error_text(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer / sizeof buffer[0]);
    std::string out;
    if (n < 0) return "PCRE2 error " + std::to_string(code);
    for (int i = 0; i < n; ++i) out.push_back(static_cast<char>(buffer[i] < 0x80 ? buffer[i] : '?'));
    return out;
}

using Clock = std::chrono::steady_clock;

// The state a callout needs to enforce the per-rule time budget.
struct Budget {
    Clock::time_point deadline;
    std::uint32_t calls = 0;
    bool expired = false;
};

template <class Block>
int budget_callout(Block*, void* data) {
    auto* budget = static_cast<Budget*>(data);
    if (budget == nullptr) return 0;  // a pattern's own callout in a window search: no budget there
    // Reading the clock costs a few nanoseconds; every 16th start is plenty,
    // since the match limit already bounds the work of a single start.
    if ((++budget->calls & 0xF) == 0 && Clock::now() > budget->deadline) {
        budget->expired = true;
        return PCRE2_ERROR_CALLOUT;
    }
    return 0;
}

// The two code unit widths the engine matches with: 32 bits for any text,
// and 8 bits (UTF-8) for ASCII texts, which are then read in place and
// copied at a quarter of the cost.
struct Wide {
    using Char = char32_t;
    using Code = pcre2_code_32;
    using Data = pcre2_match_data_32;
    using Context = pcre2_match_context_32;
    using Stack = pcre2_jit_stack_32;
    static const Code* full(const CompiledPattern& r) { return r.code(); }
    static const Code* window(const CompiledPattern& r) { return r.window_code(); }
    static bool window_jit(const CompiledPattern& r) { return r.window_jit(); }
    static const std::basic_string<Char>& replacement(const CompiledPattern& r) { return r.replacement(); }
    static int match(const Code* c, const Char* s, std::size_t n, std::size_t at, std::uint32_t o, Data* d, Context* x) {
        return pcre2_match_32(c, reinterpret_cast<PCRE2_SPTR32>(s), n, at, o, d, x);
    }
    static int jit_match(const Code* c, const Char* s, std::size_t n, std::size_t at, std::uint32_t o, Data* d, Context* x) {
        return pcre2_jit_match_32(c, reinterpret_cast<PCRE2_SPTR32>(s), n, at, o, d, x);
    }
    static PCRE2_SIZE* ovector(Data* d) { return pcre2_get_ovector_pointer_32(d); }
    static Data* data_create(std::uint32_t pairs) { return pcre2_match_data_create_32(pairs, nullptr); }
    static void data_free(Data* d) { pcre2_match_data_free_32(d); }
    static Context* context_create() { return pcre2_match_context_create_32(nullptr); }
    static Context* context_copy(Context* c) { return pcre2_match_context_copy_32(c); }
    static void context_free(Context* c) { pcre2_match_context_free_32(c); }
    static Stack* stack_create() { return pcre2_jit_stack_create_32(kJitStackStart, kJitStackMax, nullptr); }
    static void stack_free(Stack* s) { pcre2_jit_stack_free_32(s); }
    static void stack_assign(Context* c, Stack* s) { pcre2_jit_stack_assign_32(c, nullptr, s); }
    static void limits(Context* c) {
        pcre2_set_match_limit_32(c, kMatchLimit);
        pcre2_set_depth_limit_32(c, kDepthLimit);
    }
    static void callout(Context* c, void* data) { pcre2_set_callout_32(c, budget_callout<pcre2_callout_block_32>, data); }
    static void offset_limit(Context* c, std::size_t limit) { pcre2_set_offset_limit_32(c, limit); }
};

struct Narrow {
    using Char = char;
    using Code = pcre2_code_8;
    using Data = pcre2_match_data_8;
    using Context = pcre2_match_context_8;
    using Stack = pcre2_jit_stack_8;
    static const Code* full(const CompiledPattern& r) { return r.code8(); }
    static const Code* window(const CompiledPattern& r) { return r.window_code8(); }
    static bool window_jit(const CompiledPattern& r) { return r.window_jit8(); }
    static const std::string& replacement(const CompiledPattern& r) { return r.replacement8(); }
    // Subjects are ASCII, so valid UTF-8: the check is left out.
    static int match(const Code* c, const Char* s, std::size_t n, std::size_t at, std::uint32_t o, Data* d, Context* x) {
        return pcre2_match_8(c, reinterpret_cast<PCRE2_SPTR8>(s), n, at, o | PCRE2_NO_UTF_CHECK, d, x);
    }
    static int jit_match(const Code* c, const Char* s, std::size_t n, std::size_t at, std::uint32_t o, Data* d, Context* x) {
        return pcre2_jit_match_8(c, reinterpret_cast<PCRE2_SPTR8>(s), n, at, o, d, x);
    }
    static PCRE2_SIZE* ovector(Data* d) { return pcre2_get_ovector_pointer_8(d); }
    static Data* data_create(std::uint32_t pairs) { return pcre2_match_data_create_8(pairs, nullptr); }
    static void data_free(Data* d) { pcre2_match_data_free_8(d); }
    static Context* context_create() { return pcre2_match_context_create_8(nullptr); }
    static Context* context_copy(Context* c) { return pcre2_match_context_copy_8(c); }
    static void context_free(Context* c) { pcre2_match_context_free_8(c); }
    static Stack* stack_create() { return pcre2_jit_stack_create_8(kJitStackStart, kJitStackMax, nullptr); }
    static void stack_free(Stack* s) { pcre2_jit_stack_free_8(s); }
    static void stack_assign(Context* c, Stack* s) { pcre2_jit_stack_assign_8(c, nullptr, s); }
    static void limits(Context* c) {
        pcre2_set_match_limit_8(c, kMatchLimit);
        pcre2_set_depth_limit_8(c, kDepthLimit);
    }
    static void callout(Context* c, void* data) { pcre2_set_callout_8(c, budget_callout<pcre2_callout_block_8>, data); }
    static void offset_limit(Context* c, std::size_t limit) { pcre2_set_offset_limit_8(c, limit); }
};

// Per-thread matching resources: a JIT stack and a match context must not be
// shared between threads that match at the same time.
template <class W>
struct ThreadResources {
    typename W::Context* context = nullptr;
    typename W::Context* window_context = nullptr;  // for the window code, which takes an offset limit
    typename W::Stack* jit_stack = nullptr;
    typename W::Data* match_data = nullptr;
    std::uint32_t pairs = 0;

    ThreadResources() {
        context = W::context_create();
        jit_stack = W::stack_create();
        if (context == nullptr || jit_stack == nullptr) throw std::bad_alloc();
        W::limits(context);
        W::stack_assign(context, jit_stack);
        W::callout(context, nullptr);
        window_context = W::context_copy(context);
        if (window_context == nullptr) throw std::bad_alloc();
    }
    ~ThreadResources() {
        W::data_free(match_data);
        W::stack_free(jit_stack);
        W::context_free(window_context);
        W::context_free(context);
    }
    ThreadResources(const ThreadResources&) = delete;
    ThreadResources& operator=(const ThreadResources&) = delete;

    typename W::Data* data_for(std::uint32_t needed_pairs) {
        if (match_data == nullptr || pairs < needed_pairs) {
            W::data_free(match_data);
            pairs = needed_pairs < 16 ? 16 : needed_pairs;
            match_data = W::data_create(pairs);
            if (match_data == nullptr) throw std::bad_alloc();
        }
        return match_data;
    }
};

template <class W>
ThreadResources<W>& thread_resources() {
    thread_local ThreadResources<W> resources;
    return resources;
}

template <class C>
using Str = std::basic_string<C>;
template <class C>
using View = std::basic_string_view<C>;

// Two buffers per thread that take turns holding the text as the rules leave
// it. Kept between calls: a text of a few megabytes costs more in fresh pages
// than in matching.
template <class C>
Str<C>* work_buffers() {
    thread_local Str<C> buffers[2];
    return buffers;
}

// Hands the result over by swapping, so that every buffer keeps its capacity.
template <class C>
bool hand_over(int current, Str<C>& out) {
    if (current < 0) return false;
    out.swap(work_buffers<C>()[current]);
    release_if_large(work_buffers<C>()[current]);
    release_if_large(work_buffers<C>()[1 - current]);
    return true;
}

// A code unit's byte in the one-byte view: ASCII texts are their own view.
inline unsigned char narrow_unit(char c) { return static_cast<unsigned char>(c); }
inline unsigned char narrow_unit(char32_t c) { return narrow(c); }

struct Span {
    std::size_t start;
    std::size_t end;
};

struct RuleBudget : Budget {
    explicit RuleBudget(std::size_t length) {
        const double seconds = kRuleTimeBudgetSeconds + kRuleTimeBudgetPerCodePoint * static_cast<double>(length);
        deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
};

[[noreturn]] void fail(const CompiledPattern& rule, int rc, bool expired) {
    if (expired) throw MatchError(rule.name(), "time budget exceeded", rc);
    throw MatchError(rule.name(), error_text(rc), rc);
}

// The span a match masks: the "secret" group when it took part, else the
// whole match; nothing when it is empty or starts in text already masked.
void record(const CompiledPattern& rule, int rc, const PCRE2_SIZE* ov, std::size_t& kept_from,
            std::vector<Span>& spans) {
    std::size_t mask_start = ov[0];
    std::size_t mask_end = ov[1];
    const std::uint32_t group = rule.secret_group();
    if (group != 0 && static_cast<std::uint32_t>(rc) > group && ov[2 * group] != PCRE2_UNSET) {
        mask_start = ov[2 * group];
        mask_end = ov[2 * group + 1];
    }
    if (mask_end > mask_start && mask_start >= kept_from) {
        spans.push_back({mask_start, mask_end});
        kept_from = mask_end;
    }
}

// Every match of one rule over the whole text, left to right without overlap.
template <class W>
void find_all(View<typename W::Char> text, const CompiledPattern& rule, std::vector<Span>& spans) {
    ThreadResources<W>& res = thread_resources<W>();
    typename W::Data* md = res.data_for(rule.capture_count() + 1);
    RuleBudget budget(text.size());
    W::callout(res.context, static_cast<Budget*>(&budget));

    const std::size_t length = text.size();
    std::size_t pos = 0;
    std::size_t kept_from = 0;
    std::uint32_t options = 0;
    while (pos <= length) {
        const int rc = W::match(W::full(rule), text.data(), length, pos, options, md, res.context);
        if (rc == PCRE2_ERROR_NOMATCH) break;
        if (rc < 0) fail(rule, rc, budget.expired);
        const PCRE2_SIZE* ov = W::ovector(md);
        record(rule, rc, ov, kept_from, spans);
        std::size_t start = ov[0];
        std::size_t end = ov[1];
        // After an empty match, the next one must not be empty at the same
        // place (Python's rule, which also guarantees progress).
        options = end == start ? PCRE2_NOTEMPTY_ATSTART : 0;
        if (end < start) end = start;  // \K inside a look-ahead
        pos = end;
    }
}

// The matches of one rule that start from `before` code points ahead of to
// `skip` after one of `anchors` (sorted starts of its literals): exactly the
// matches find_all finds when every match starts there. Each start is tried
// once, in order, as a full pass would try it; the clock is read between
// calls, and the match limit bounds each call.
template <class W>
void find_at_anchors(View<typename W::Char> text, const CompiledPattern& rule,
                     const std::vector<std::uint32_t>& anchors, std::vector<Span>& spans) {
    ThreadResources<W>& res = thread_resources<W>();
    typename W::Data* md = res.data_for(rule.capture_count() + 1);
    RuleBudget budget(text.size());
    const std::size_t length = text.size();
    const std::size_t before = rule.anchors().before;
    const std::size_t skip = rule.anchors().skip;
    const bool jit = W::window_jit(rule);
    std::size_t next = 0;  // no match may start before this
    std::size_t kept_from = 0;
    std::uint32_t tries = 0;
    // Starts between two nearby ranges cannot match (a match would have an
    // anchor of its own): trying them costs less than a call per range.
    constexpr std::size_t kJoin = 24;
    for (std::size_t i = 0; i < anchors.size();) {
        std::size_t hi = anchors[i] + skip;
        if (hi < next) {
            ++i;
            continue;
        }
        std::size_t s = std::max<std::size_t>(next, hi >= before ? hi - before : 0);
        for (++i; i < anchors.size(); ++i) {
            const std::size_t last = anchors[i] + skip;
            if ((last >= before ? last - before : 0) > hi + kJoin) break;
            hi = last;
        }
        // One call tries every start from s up to hi, in order.
        W::offset_limit(res.window_context, hi);
        std::uint32_t options = 0;
        while (s <= hi) {
            if ((++tries & 0x1F) == 0 && Clock::now() > budget.deadline) fail(rule, PCRE2_ERROR_CALLOUT, true);
            const int rc = jit ? W::jit_match(W::window(rule), text.data(), length, s, options, md, res.window_context)
                               : W::match(W::window(rule), text.data(), length, s, options, md, res.window_context);
            if (rc == PCRE2_ERROR_NOMATCH) break;
            if (rc < 0) fail(rule, rc, false);
            const PCRE2_SIZE* ov = W::ovector(md);
            record(rule, rc, ov, kept_from, spans);
            if (ov[1] <= ov[0]) {
                // An empty match: as a full pass does, look again from the
                // same start for one that is not empty there.
                s = ov[0];
                options = PCRE2_NOTEMPTY_ATSTART;
                continue;
            }
            s = next = ov[1];
            options = 0;
        }
        next = std::max(next, hi + 1);
    }
}

// Writes `text` with every span replaced by `replacement` to `out`.
template <class C>
void apply(View<C> text, const std::vector<Span>& spans, const Str<C>& replacement, Str<C>& out) {
    out.clear();
    out.reserve(text.size() + spans.size() * replacement.size());
    std::size_t from = 0;
    for (const Span& span : spans) {
        out.append(text.substr(from, span.start - from));
        out.append(replacement);
        from = span.end;
    }
    out.append(text.substr(from));
}

bool mask_one(std::u32string_view text, const CompiledPattern& rule, std::vector<Span>& spans, std::u32string& out) {
    spans.clear();
    find_all<Wide>(text, rule, spans);
    if (spans.empty()) return false;
    apply<char32_t>(text, spans, rule.replacement(), out);
    return true;
}

}  // namespace

PatternError::PatternError(std::string rule, std::string reason, std::size_t offset)
    : std::runtime_error("masking rule " + rule + ": " + reason + " at offset " + std::to_string(offset)),
      rule_(std::move(rule)),
      reason_(std::move(reason)),
      offset_(offset) {}

MatchError::MatchError(std::string rule, std::string reason, int code)
    : std::runtime_error("masking rule " + rule + " failed: " + reason),
      rule_(std::move(rule)),
      reason_(std::move(reason)),
      code_(code) {}

CompiledPattern::CompiledPattern(std::string name, std::u32string_view python_pattern, std::u32string replacement)
    : name_(std::move(name)), replacement_(std::move(replacement)) {
    const TranslatedPattern translated = translate_python_pattern(python_pattern);
    // A callout at the very start runs once per match attempt, which is where
    // the time budget is enforced; it leaves start-of-match optimisations intact.
    std::u32string source = U"(?C1)";
    source += translated.pcre;
    constexpr std::size_t kPrefix = 5;

    pcre2_compile_context* cctx = pcre2_compile_context_create(nullptr);
    if (cctx == nullptr) throw std::bad_alloc();
    pcre2_set_newline(cctx, PCRE2_NEWLINE_LF);
    pcre2_set_bsr(cctx, PCRE2_BSR_UNICODE);
    int error = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), PCRE2_UCP, &error,
                          &offset, cctx);
    pcre2_compile_context_free(cctx);
    if (code_ == nullptr) {
        std::size_t at = offset < kPrefix ? 0 : offset - kPrefix;
        if (at >= translated.source_offset.size()) at = translated.source_offset.size() - 1;
        throw PatternError(name_, error_text(error), translated.source_offset[at]);
    }
    pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &capture_count_);
    const int group = pcre2_substring_number_from_name(code_, reinterpret_cast<PCRE2_SPTR>(U"secret"));
    secret_group_ = group > 0 ? static_cast<std::uint32_t>(group) : 0;
    // JIT is an optimisation: where it is unavailable the interpreter runs.
    jit_ = pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) == 0;

    anchors_ = find_anchors(translated.pcre);
    // The window code runs from a start up to an offset limit; its start-up
    // checks (such as a search for a character every match needs) would read
    // far ahead of the window at every call, so they are left out.
    if (anchors_.found) {
        cctx = pcre2_compile_context_create(nullptr);
        if (cctx == nullptr) throw std::bad_alloc();
        pcre2_set_newline(cctx, PCRE2_NEWLINE_LF);
        pcre2_set_bsr(cctx, PCRE2_BSR_UNICODE);
        window_code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(translated.pcre.data()), translated.pcre.size(),
                                     PCRE2_UCP | PCRE2_USE_OFFSET_LIMIT | PCRE2_NO_START_OPTIMIZE, &error, &offset, cctx);
        pcre2_compile_context_free(cctx);
        if (window_code_ == nullptr) {
            anchors_ = Anchors{};
        } else {
            window_jit_ = pcre2_jit_compile(window_code_, PCRE2_JIT_COMPLETE) == 0;
        }
    }
    compile_narrow(translated.pcre);
}

CompiledPattern::~CompiledPattern() {
    pcre2_code_free_8(window_code8_);
    pcre2_code_free_8(code8_);
    pcre2_code_free(window_code_);
    pcre2_code_free(code_);
}

void CompiledPattern::compile_narrow(std::u32string_view pcre) {
    // ASCII texts match on UTF-8 code: the same code points, the same
    // Unicode properties and case folding, one byte per character. A pattern
    // or placeholder that UTF-8 cannot hold (a lone surrogate) stays wide.
    std::string source;
    for (const char32_t c : replacement_) {
        if (c >= 0x80) return;
        replacement8_.push_back(static_cast<char>(c));
    }
    for (const char32_t c : pcre) {
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return;
        if (c < 0x80) {
            source.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            source.push_back(static_cast<char>(0xC0 | (c >> 6)));
            source.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            source.push_back(static_cast<char>(0xE0 | (c >> 12)));
            source.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            source.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            source.push_back(static_cast<char>(0xF0 | (c >> 18)));
            source.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            source.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            source.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    pcre2_compile_context_8* cctx = pcre2_compile_context_create_8(nullptr);
    if (cctx == nullptr) throw std::bad_alloc();
    pcre2_set_newline_8(cctx, PCRE2_NEWLINE_LF);
    pcre2_set_bsr_8(cctx, PCRE2_BSR_UNICODE);
    int error = 0;
    PCRE2_SIZE offset = 0;
    const std::string full = "(?C1)" + source;
    code8_ = pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(full.data()), full.size(), PCRE2_UTF | PCRE2_UCP, &error,
                             &offset, cctx);
    if (code8_ != nullptr && window_code_ != nullptr) {
        window_code8_ = pcre2_compile_8(reinterpret_cast<PCRE2_SPTR8>(source.data()), source.size(),
                                        PCRE2_UTF | PCRE2_UCP | PCRE2_USE_OFFSET_LIMIT | PCRE2_NO_START_OPTIMIZE,
                                        &error, &offset, cctx);
    }
    pcre2_compile_context_free_8(cctx);
    if (code8_ == nullptr || (window_code_ != nullptr && window_code8_ == nullptr)) {
        pcre2_code_free_8(window_code8_);
        pcre2_code_free_8(code8_);
        window_code8_ = code8_ = nullptr;
        return;
    }
    const bool jit8 = pcre2_jit_compile_8(code8_, PCRE2_JIT_COMPLETE) == 0;
    if (window_code8_ != nullptr) window_jit8_ = pcre2_jit_compile_8(window_code8_, PCRE2_JIT_COMPLETE) == 0;
    // The JIT takes fewer patterns in UTF mode (\C, for one): a rule the
    // interpreter would run on ASCII texts only, much slower, stays wide.
    if ((jit_ && !jit8) || (window_jit_ && !window_jit8_)) {
        pcre2_code_free_8(window_code8_);
        pcre2_code_free_8(code8_);
        window_code8_ = code8_ = nullptr;
    }
}

bool mask(std::u32string_view text, std::span<const CompiledPattern* const> rules, std::u32string& out) {
    // Two buffers take turns; nothing is copied until a rule changes the text.
    std::u32string* buffers = work_buffers<char32_t>();
    std::vector<Span> spans;
    int current = -1;
    for (const CompiledPattern* rule : rules) {
        const int next = current == 0 ? 1 : 0;
        const std::u32string_view view = current < 0 ? text : std::u32string_view(buffers[current]);
        if (mask_one(view, *rule, spans, buffers[next])) current = next;
    }
    return hand_over<char32_t>(current, out);
}

namespace {

bool same_letter(unsigned char a, unsigned char b, bool caseless) {
    if (caseless && a < 0x80 && b < 0x80) {
        a = static_cast<unsigned char>(a >= 'A' && a <= 'Z' ? a + 32 : a);
        b = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
    }
    return a == b;
}

}  // namespace

RuleSet::RuleSet(std::vector<const CompiledPattern*> rules) : rules_(std::move(rules)) {
    const std::size_t n = rules_.size();
    anchored_.assign(n, false);
    literals_of_.resize(n);
    for (const CompiledPattern* rule : rules_) ascii_ = ascii_ && rule->ascii();
    inside_.resize(n);
    straddles_.assign(n, false);
    std::vector<LiteralDatabase::Literal> literals;
    std::vector<std::vector<std::size_t>> anchoring;  // per literal, the rules it anchors
    for (std::size_t r = 0; r < n; ++r) {
        const Anchors& anchors = rules_[r]->anchors();
        if (!anchors.found) {
            any_full_ = true;
            continue;
        }
        anchored_[r] = true;
        for (const std::u32string& literal : anchors.literals) {
            LiteralDatabase::Literal entry{narrow_view(literal), anchors.caseless};
            std::size_t id = 0;
            while (id < literals.size() && !(literals[id].bytes == entry.bytes && literals[id].caseless == entry.caseless)) ++id;
            if (id == literals.size()) {
                literals.push_back(std::move(entry));
                anchoring.emplace_back();
            }
            anchoring[id].push_back(r);
            literals_of_[r].push_back(static_cast<std::uint32_t>(id));
        }
    }
    db_ = LiteralDatabase(literals);
    if (db_.empty()) return;
    for (std::size_t id = 0; id < literals.size(); ++id) {
        length_.push_back(static_cast<std::uint32_t>(literals[id].bytes.size()));
        longest_ = std::max(longest_, length_.back());
    }
    // Which anchors a placeholder brings with it: those wholly inside it are
    // known in advance; one that could straddle its edge makes the text
    // around each new placeholder be searched again.
    for (std::size_t r = 0; r < n; ++r) {
        const std::string placeholder = narrow_view(rules_[r]->replacement());
        const auto p = static_cast<std::ptrdiff_t>(placeholder.size());
        for (std::size_t id = 0; id < literals.size(); ++id) {
            const std::string& bytes = literals[id].bytes;
            const auto l = static_cast<std::ptrdiff_t>(bytes.size());
            for (std::ptrdiff_t d = 1 - l; d < p; ++d) {
                bool fits = true;
                for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(0, -d); k < l && d + k < p && fits; ++k) {
                    fits = same_letter(static_cast<unsigned char>(bytes[k]),
                                       static_cast<unsigned char>(placeholder[d + k]), literals[id].caseless);
                }
                if (!fits) continue;
                if (d >= 0 && d + l <= p) {
                    inside_[r].emplace_back(static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(id));
                } else {
                    straddles_[r] = true;
                }
            }
        }
        std::sort(inside_[r].begin(), inside_[r].end());
    }
}

bool RuleSet::scan(std::string_view view, Scan& found) const {
    found.hits.clear();
    found.ok = !db_.empty() && view.size() < UINT32_MAX &&
               db_.scan(view, [&](unsigned id, std::size_t start) {
                   found.hits.push_back({static_cast<std::uint32_t>(start), id});
               });
    // Reports come in order of their ends: the starts of one literal are in order.
    if (!found.ok) return !rules_.empty();
    return any_full_ || !found.hits.empty();
}

namespace {

// One rule's replacements: spans of the text before them, each replaced by a
// placeholder of the same length.
struct Batch {
    std::vector<Span> spans;
    std::size_t placeholder;
};

// Where a literal occurs, in the text as it was after `version` batches.
struct Occurrences {
    std::vector<std::uint32_t> starts;
    std::size_t version = 0;
};

// Moves occurrences (of a literal `length` long) over one batch: those in
// replaced text go, the rest move by what the replacements before them added
// or took.
void carry(std::vector<std::uint32_t>& starts, std::size_t length, const Batch& batch) {
    std::size_t e = 0, kept = 0;
    std::int64_t delta = 0;
    const auto placeholder = static_cast<std::int64_t>(batch.placeholder);
    for (const std::uint32_t start : starts) {
        while (e < batch.spans.size() && batch.spans[e].end <= start) {
            delta += placeholder - static_cast<std::int64_t>(batch.spans[e].end - batch.spans[e].start);
            ++e;
        }
        if (e < batch.spans.size() && batch.spans[e].start < start + length) continue;
        starts[kept++] = static_cast<std::uint32_t>(static_cast<std::int64_t>(start) + delta);
    }
    starts.resize(kept);
}

}  // namespace

bool RuleSet::mask(std::u32string_view text, Scan& found, std::u32string& out) const {
    if (!found.ok) return vorn::masking::mask(text, rules_, out);
    return run<Wide>(text, found, out);
}

bool RuleSet::mask_ascii(std::string_view text, Scan& found, std::string& out) const {
    if (!ascii_ || !found.ok) throw std::logic_error("mask_ascii needs ASCII-ready rules and a scan that ran");
    return run<Narrow>(text, found, out);
}

// A rule with more than one literal occurrence per this many code points
// runs over the whole text instead of at its occurrences.
constexpr std::size_t kDenseAnchors = 16;

template <class W, class V, class S>
bool RuleSet::run(V text, Scan& found, S& out) const {
    using C = typename W::Char;
    const std::size_t n = rules_.size();
    // Occurrences per literal, brought up to date only when a rule needs them.
    std::vector<Occurrences> occurrences(length_.size());
    for (const Hit& hit : found.hits) occurrences[hit.literal].starts.push_back(hit.start);
    std::vector<Batch> batches;
    auto current_starts = [&](std::size_t literal) -> std::vector<std::uint32_t>& {
        Occurrences& o = occurrences[literal];
        for (; o.version < batches.size(); ++o.version) carry(o.starts, length_[literal], batches[o.version]);
        return o.starts;
    };
    auto add_starts = [&](std::size_t literal, std::vector<std::uint32_t>& more) {
        std::vector<std::uint32_t>& starts = current_starts(literal);
        std::sort(more.begin(), more.end());
        std::vector<std::uint32_t> merged;
        merged.reserve(starts.size() + more.size());
        std::merge(starts.begin(), starts.end(), more.begin(), more.end(), std::back_inserter(merged));
        merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
        starts.swap(merged);
    };

    std::vector<std::uint32_t> anchors;
    std::vector<Span> spans;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> added;  // (literal, start)
    std::vector<std::uint32_t> more;
    Str<C>* buffers = work_buffers<C>();
    std::string window;
    bool searched = true;  // false once a search failed: later rules then run in full
    int current = -1;
    for (std::size_t r = 0; r < n; ++r) {
        const CompiledPattern& rule = *rules_[r];
        const View<C> view = current < 0 ? text : View<C>(buffers[current]);
        spans.clear();
        if (anchored_[r] && searched) {
            const std::vector<std::uint32_t>& literals = literals_of_[r];
            if (literals.size() == 1) {
                anchors = current_starts(literals.front());
            } else {
                anchors.clear();
                for (const std::uint32_t literal : literals) {
                    const std::vector<std::uint32_t>& starts = current_starts(literal);
                    anchors.insert(anchors.end(), starts.begin(), starts.end());
                }
                std::sort(anchors.begin(), anchors.end());
                anchors.erase(std::unique(anchors.begin(), anchors.end()), anchors.end());
            }
            if (anchors.empty()) continue;
            // Literals at nearly every other position: one pass over the
            // whole text, with its start-up optimisations, costs less.
            if (anchors.size() * kDenseAnchors > view.size()) {
                find_all<W>(view, rule, spans);
            } else {
                find_at_anchors<W>(view, rule, anchors, spans);
            }
        } else {
            find_all<W>(view, rule, spans);
        }
        if (spans.empty()) continue;
        const int next = current == 0 ? 1 : 0;
        apply<C>(view, spans, W::replacement(rule), buffers[next]);
        current = next;
        if (r + 1 == n) break;

        // The anchors the placeholders bring: those wholly inside one are
        // known in advance; the text around each is searched again only when
        // an anchor could straddle its edge.
        const Str<C>& now = buffers[next];
        const std::size_t placeholder = rule.replacement().size();
        added.clear();
        std::int64_t delta = 0;
        for (const Span& span : spans) {
            const auto at = static_cast<std::size_t>(static_cast<std::int64_t>(span.start) + delta);
            delta += static_cast<std::int64_t>(placeholder) - static_cast<std::int64_t>(span.end - span.start);
            for (const auto& [offset, literal] : inside_[r]) added.emplace_back(literal, static_cast<std::uint32_t>(at + offset));
            if (!straddles_[r]) continue;
            const std::size_t from = at >= longest_ ? at - longest_ + 1 : 0;
            const std::size_t to = std::min(now.size(), at + placeholder + longest_ - 1);
            window.resize(to - from);
            for (std::size_t i = from; i < to; ++i) window[i - from] = static_cast<char>(narrow_unit(now[i]));
            const std::size_t lo = at, hi = at + placeholder;
            searched = searched && db_.scan(window, [&](unsigned id, std::size_t start) {
                const std::size_t s = from + start;
                const bool inside = s >= lo && s + length_[id] <= hi;
                if (!inside && s < hi && s + length_[id] > lo) added.emplace_back(id, static_cast<std::uint32_t>(s));
            });
        }
        batches.push_back({spans, placeholder});
        std::sort(added.begin(), added.end());
        for (std::size_t k = 0; k < added.size();) {
            const std::uint32_t literal = added[k].first;
            more.clear();
            for (; k < added.size() && added[k].first == literal; ++k) more.push_back(added[k].second);
            add_starts(literal, more);
        }
    }
    return hand_over<C>(current, out);
}

}  // namespace vorn::masking
