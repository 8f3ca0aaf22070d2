#include "prefilter.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <type_traits>

namespace vorn::masking {
namespace {

std::atomic<std::uint64_t> g_serials{0};

struct Scratch {
    hs_scratch_t* scratch = nullptr;
    // Databases the scratch space already fits, by serial number (an address
    // may be reused by a larger database). Growing the space for one database
    // keeps it fit for the others, and checking a fit costs as much as a
    // database is large, so a thread that alternates between a few databases
    // checks each once.
    std::uint64_t fitted[8] = {};
    std::size_t next = 0;
    ~Scratch() { hs_free_scratch(scratch); }

    bool fit(const hs_database_t* db, std::uint64_t serial) {
        for (const std::uint64_t known : fitted) {
            if (known == serial) return true;
        }
        if (hs_alloc_scratch(db, &scratch) != HS_SUCCESS) return false;
        fitted[next++ % 8] = serial;
        return true;
    }
};

}  // namespace

std::string narrow_view(std::u32string_view text) {
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(narrow(text[i]));
    return out;
}

LiteralDatabase::LiteralDatabase(const std::vector<Literal>& literals) {
    if (literals.empty()) return;
    std::vector<const char*> expressions;
    std::vector<std::size_t> lengths;
    std::vector<unsigned> flags, ids;
    for (std::size_t i = 0; i < literals.size(); ++i) {
        if (literals[i].bytes.empty()) return;
        expressions.push_back(literals[i].bytes.data());
        lengths.push_back(literals[i].bytes.size());
        flags.push_back(literals[i].caseless ? HS_FLAG_CASELESS : 0);
        ids.push_back(static_cast<unsigned>(i));
        lengths_.push_back(static_cast<std::uint32_t>(literals[i].bytes.size()));
    }
    hs_database_t* db = nullptr;
    hs_compile_error_t* error = nullptr;
    if (hs_compile_lit_multi(expressions.data(), flags.data(), ids.data(), lengths.data(),
                             static_cast<unsigned>(expressions.size()), HS_MODE_BLOCK, nullptr, &db,
                             &error) != HS_SUCCESS) {
        hs_free_compile_error(error);
        return;
    }
    db_.reset(db);
    serial_ = ++g_serials;
}

bool LiteralDatabase::run(std::string_view view, Callback cb, void* ctx) const {
    if (db_ == nullptr || view.size() > UINT32_MAX) return false;
    // Scratch space is per thread.
    thread_local Scratch scratch;
    if (!scratch.fit(db_.get(), serial_)) return false;
    return hs_scan(db_.get(), view.data(), static_cast<unsigned>(view.size()), 0, scratch.scratch, cb, ctx) ==
           HS_SUCCESS;
}

LiteralSet::LiteralSet(std::vector<std::u32string> literals, std::u32string replacement)
    : literals_(std::move(literals)), replacement_(std::move(replacement)) {
    if (literals_.empty() || replacement_.empty()) return;
    for (const char32_t c : replacement_) {
        if (c >= 0x80) {
            replacement_ascii_.clear();
            break;
        }
        replacement_ascii_.push_back(static_cast<char>(c));
    }
    // One scan of the original text tells every occurrence only when no
    // replacement can make a new one: no literal may overlap a placeholder,
    // that is, hold its first or last character or fit inside it.
    std::vector<LiteralDatabase::Literal> views;
    for (const std::u32string& literal : literals_) {
        if (literal.empty() || literal.size() + 2 <= replacement_.size() ||
            literal.find(replacement_.front()) != std::u32string::npos ||
            literal.find(replacement_.back()) != std::u32string::npos) {
            return;
        }
        views.push_back({narrow_view(literal), false});
    }
    db_ = LiteralDatabase(views);
}

bool LiteralSet::may_occur(std::string_view view) const {
    bool found = false;
    // A scan that cannot run says "maybe".
    if (!db_.scan(view, [&](unsigned, std::size_t) { found = true; })) return true;
    return found;
}

bool LiteralSet::replace_in_turn(std::u32string_view text, std::u32string& out) const {
    std::u32string current(text);
    bool changed = false;
    for (const std::u32string& literal : literals_) {
        if (literal.empty()) continue;
        std::size_t at = current.find(literal);
        if (at == std::u32string::npos) continue;
        std::u32string next;
        std::size_t from = 0;
        for (; at != std::u32string::npos; at = current.find(literal, from)) {
            next.append(current, from, at - from);
            next += replacement_;
            from = at + literal.size();
        }
        next.append(current, from);
        current.swap(next);
        changed = true;
    }
    if (changed) out = std::move(current);
    return changed;
}

bool LiteralSet::replace(std::u32string_view text, std::string_view view, std::u32string& out) const {
    if (literals_.empty()) return false;
    if (db_.empty() || text.size() > UINT32_MAX) return replace_in_turn(text, out);
    return replace_scanned<char32_t>(text, view, out);
}

bool LiteralSet::replace_ascii(std::string_view text, std::string& out) const {
    if (db_.empty() || replacement_ascii_.empty()) throw std::logic_error("replace_ascii needs a one-pass set with an ASCII replacement");
    return replace_scanned<char>(text, text, out);
}

template <class C>
bool LiteralSet::replace_scanned(std::basic_string_view<C> text, std::string_view view, std::basic_string<C>& out) const {
    struct Hit {
        std::uint32_t literal;
        std::uint32_t start;
    };
    std::vector<Hit> hits;
    const bool scanned = db_.scan(view, [&](unsigned id, std::size_t start) {
        // The view finds look-alikes too: only real occurrences count.
        const std::u32string& literal = literals_[id];
        for (std::size_t k = 0; k < literal.size(); ++k) {
            if (static_cast<char32_t>(static_cast<std::make_unsigned_t<C>>(text[start + k])) != literal[k]) return;
        }
        hits.push_back({id, static_cast<std::uint32_t>(start)});
    });
    if (!scanned) {
        if constexpr (std::is_same_v<C, char32_t>) {
            return replace_in_turn(text, out);
        } else {
            throw std::runtime_error("the literal scan could not run");
        }
    }
    if (hits.empty()) return false;
    // Replacing the literals in turn, each in what the earlier ones left: no
    // literal can overlap a placeholder, so the occurrences of a literal in
    // that text are its occurrences in the original that no earlier
    // replacement touched; among them, the leftmost ones without overlap win.
    std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        return a.literal != b.literal ? a.literal < b.literal : a.start < b.start;
    });
    std::map<std::uint32_t, std::uint32_t> taken;  // start -> end, disjoint
    auto overlaps = [&taken](std::uint32_t start, std::uint32_t end) {
        auto next = taken.lower_bound(start);
        if (next != taken.end() && next->first < end) return true;
        return next != taken.begin() && std::prev(next)->second > start;
    };
    for (std::size_t i = 0; i < hits.size();) {
        const std::uint32_t literal = hits[i].literal;
        const auto length = static_cast<std::uint32_t>(literals_[literal].size());
        std::uint32_t pos = 0;
        for (; i < hits.size() && hits[i].literal == literal; ++i) {
            const std::uint32_t start = hits[i].start;
            if (start < pos || overlaps(start, start + length)) continue;
            taken.emplace(start, start + length);
            pos = start + length;
        }
    }
    out.clear();
    out.reserve(text.size());
    std::size_t from = 0;
    for (const auto& [start, end] : taken) {
        out.append(text.substr(from, start - from));
        if constexpr (std::is_same_v<C, char32_t>) {
            out += replacement_;
        } else {
            out += replacement_ascii_;
        }
        from = end;
    }
    out.append(text.substr(from));
    return true;
}

}  // namespace vorn::masking
