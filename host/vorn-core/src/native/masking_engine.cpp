#include "masking_engine.hpp"

#include <chrono>
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

int budget_callout(pcre2_callout_block*, void* data) {
    auto* budget = static_cast<Budget*>(data);
    // Reading the clock costs a few nanoseconds; every 16th start is plenty,
    // since the match limit already bounds the work of a single start.
    if ((++budget->calls & 0xF) == 0 && Clock::now() > budget->deadline) {
        budget->expired = true;
        return PCRE2_ERROR_CALLOUT;
    }
    return 0;
}

// Per-thread matching resources: a JIT stack and a match context must not be
// shared between threads that match at the same time.
struct ThreadResources {
    pcre2_match_context* context = nullptr;
    pcre2_jit_stack* jit_stack = nullptr;
    pcre2_match_data* match_data = nullptr;
    std::uint32_t pairs = 0;

    ThreadResources() {
        context = pcre2_match_context_create(nullptr);
        jit_stack = pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr);
        if (context == nullptr || jit_stack == nullptr) throw std::bad_alloc();
        pcre2_set_match_limit(context, kMatchLimit);
        pcre2_set_depth_limit(context, kDepthLimit);
        pcre2_jit_stack_assign(context, nullptr, jit_stack);
        pcre2_set_callout(context, budget_callout, nullptr);
    }
    ~ThreadResources() {
        pcre2_match_data_free(match_data);
        pcre2_jit_stack_free(jit_stack);
        pcre2_match_context_free(context);
    }
    ThreadResources(const ThreadResources&) = delete;
    ThreadResources& operator=(const ThreadResources&) = delete;

    pcre2_match_data* data_for(std::uint32_t needed_pairs) {
        if (match_data == nullptr || pairs < needed_pairs) {
            pcre2_match_data_free(match_data);
            pairs = needed_pairs < 16 ? 16 : needed_pairs;
            match_data = pcre2_match_data_create(pairs, nullptr);
            if (match_data == nullptr) throw std::bad_alloc();
        }
        return match_data;
    }
};

ThreadResources& thread_resources() {
    thread_local ThreadResources resources;
    return resources;
}

// Masks every match of one rule; returns false (and leaves `out` alone) when
// the rule matches nothing that needs masking.
bool mask_one(std::u32string_view text, const CompiledPattern& rule, std::u32string& out) {
    ThreadResources& res = thread_resources();
    pcre2_match_data* md = res.data_for(rule.capture_count() + 1);
    const double seconds = kRuleTimeBudgetSeconds + kRuleTimeBudgetPerCodePoint * static_cast<double>(text.size());
    Budget budget{Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))};
    pcre2_set_callout(res.context, budget_callout, &budget);

    const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    const std::size_t length = text.size();
    const std::uint32_t group = rule.secret_group();
    std::size_t pos = 0;
    std::size_t kept_from = 0;  // start of the text not yet copied to `out`
    std::uint32_t options = 0;
    bool changed = false;

    while (pos <= length) {
        const int rc = pcre2_match(rule.code(), subject, length, pos, options, md, res.context);
        if (rc == PCRE2_ERROR_NOMATCH) break;
        if (rc < 0) {
            if (budget.expired) {
                throw MatchError(rule.name(), "time budget exceeded", rc);
            }
            throw MatchError(rule.name(), error_text(rc), rc);
        }
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        std::size_t start = ov[0];
        std::size_t end = ov[1];
        std::size_t mask_start = start;
        std::size_t mask_end = end;
        if (group != 0 && static_cast<std::uint32_t>(rc) > group && ov[2 * group] != PCRE2_UNSET) {
            mask_start = ov[2 * group];
            mask_end = ov[2 * group + 1];
        }
        if (mask_end > mask_start && mask_start >= kept_from) {
            if (!changed) {
                out.clear();
                out.reserve(length + 64);
                changed = true;
            }
            out.append(text.substr(kept_from, mask_start - kept_from));
            out.append(rule.replacement());
            kept_from = mask_end;
        }
        // After an empty match, the next one must not be empty at the same
        // place (Python's rule, which also guarantees progress).
        options = end == start ? PCRE2_NOTEMPTY_ATSTART : 0;
        if (end < start) end = start;  // \K inside a look-ahead
        pos = end;
    }
    if (changed) out.append(text.substr(kept_from));
    return changed;
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
}

CompiledPattern::~CompiledPattern() { pcre2_code_free(code_); }

bool mask(std::u32string_view text, std::span<const CompiledPattern* const> rules, std::u32string& out) {
    // Two buffers take turns; nothing is copied until a rule changes the text.
    std::u32string buffers[2];
    int current = -1;
    for (const CompiledPattern* rule : rules) {
        const int next = current == 0 ? 1 : 0;
        const std::u32string_view view = current < 0 ? text : std::u32string_view(buffers[current]);
        if (mask_one(view, *rule, buffers[next])) current = next;
    }
    if (current < 0) return false;
    out = std::move(buffers[current]);
    return true;
}

}  // namespace vorn::masking
