#include "anchors.hpp"

#include <algorithm>
#include <memory>
#include <optional>

namespace vorn::masking {
namespace {

constexpr std::uint32_t kInf = UINT32_MAX;
constexpr std::size_t kMaxLiteral = 32;      // longer runs are cut (a prefix is still necessary)
constexpr std::size_t kMaxLiterals = 64;     // more alternatives than this: not worth a prefilter
constexpr std::size_t kMaxSteps = 20'000;    // analysis work per pattern
constexpr std::size_t kMaxSpellings = 16;     // variants of one run of plain characters
constexpr int kMaxDepth = 64;                 // nesting the analysis follows (it recurses)

// Counts nesting for as long as it lives.
struct Nested {
    explicit Nested(int& depth) : depth_(depth) { ++depth_; }
    ~Nested() { --depth_; }
    bool too_deep() const { return depth_ > kMaxDepth; }
    int& depth_;
};

struct Alternation;

struct Atom {
    enum class Kind { Char, Set, Consumes, Zero, Group, Unknown } kind = Kind::Unknown;
    char32_t c = 0;
    std::u32string members;  // a Set's characters
    std::uint32_t width = kInf;  // longest match of one repetition
    std::shared_ptr<Alternation> group;
    std::uint32_t min = 1;
    std::uint32_t max = 1;
    bool lookbehind = false;  // a positive look-behind (kind Zero, content in `group`)
};

using Items = std::vector<Atom>;

struct Alternation {
    std::vector<Items> branches;
};

std::uint32_t add(std::uint32_t a, std::uint32_t b) { return a == kInf || b == kInf || a + b < a ? kInf : a + b; }

std::uint32_t item_width(const Atom& atom) {
    if (atom.width == 0 || atom.max == 0) return 0;
    if (atom.width == kInf || atom.max == kInf) return kInf;
    const std::uint64_t w = static_cast<std::uint64_t>(atom.width) * atom.max;
    return w >= kInf ? kInf : static_cast<std::uint32_t>(w);
}

std::uint32_t sequence_width(const Items& items) {
    std::uint32_t w = 0;
    for (const Atom& atom : items) w = add(w, item_width(atom));
    return w;
}

bool is_digit(char32_t c) { return c >= U'0' && c <= U'9'; }
bool is_hex(char32_t c) { return is_digit(c) || (c >= U'a' && c <= U'f') || (c >= U'A' && c <= U'F'); }
bool is_alnum(char32_t c) { return is_digit(c) || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'); }
std::uint32_t hex_value(char32_t c) { return is_digit(c) ? c - U'0' : (c | 0x20) - U'a' + 10; }

class Parser {
  public:
    explicit Parser(std::u32string_view src) : src_(src) {}

    // The whole pattern, or nothing when it holds syntax the analysis does not take.
    std::shared_ptr<Alternation> parse() {
        auto root = alternation();
        if (failed_ || pos_ != src_.size()) return nullptr;
        return root;
    }
    bool caseless() const { return caseless_; }

  private:
    std::shared_ptr<Alternation> alternation() {
        auto alt = std::make_shared<Alternation>();
        const Nested nested(depth_);
        if (nested.too_deep()) {
            fail();
            return alt;
        }
        alt->branches.emplace_back();
        while (!failed_ && pos_ < src_.size() && src_[pos_] != U')') {
            if (src_[pos_] == U'|') {
                ++pos_;
                alt->branches.emplace_back();
                continue;
            }
            Atom atom = parse_atom();
            if (failed_) break;
            quantifier(atom);
            alt->branches.back().push_back(std::move(atom));
        }
        return alt;
    }

    void fail() { failed_ = true; }

    Atom make(Atom::Kind kind, std::uint32_t width, char32_t c = 0) {
        Atom atom;
        atom.kind = kind;
        atom.width = width;
        atom.c = c;
        return atom;
    }

    // Skips a character class starting at `pos_` ('['); returns false on a bad one.
    bool skip_class() {
        std::size_t i = pos_ + 1;
        if (i < src_.size() && src_[i] == U'^') ++i;
        if (i < src_.size() && src_[i] == U']') ++i;
        for (; i < src_.size() && src_[i] != U']'; ++i) {
            if (src_[i] == U'\\') ++i;
        }
        if (i >= src_.size()) return false;
        pos_ = i + 1;
        return true;
    }

    // Skips a parenthesised construct (which starts at `pos_`), nested ones included.
    bool skip_balanced() {
        int depth = 0;
        while (pos_ < src_.size()) {
            const char32_t c = src_[pos_];
            if (c == U'\\') {
                pos_ += 2;
            } else if (c == U'[') {
                if (!skip_class()) return false;
            } else {
                ++pos_;
                if (c == U'(') ++depth;
                if (c == U')' && --depth == 0) return true;
            }
        }
        return false;
    }

    Atom group(Atom::Kind kind) {
        Atom atom = make(kind, 0);
        atom.group = alternation();
        if (failed_ || pos_ >= src_.size() || src_[pos_] != U')') {
            fail();
            return atom;
        }
        ++pos_;
        if (kind == Atom::Kind::Group) {
            atom.width = 0;
            for (const Items& branch : atom.group->branches) atom.width = std::max(atom.width, sequence_width(branch));
        }
        return atom;
    }

    Atom parse_group() {
        // pos_ is at '('.
        if (pos_ + 1 < src_.size() && src_[pos_ + 1] == U'*') {
            fail();  // verbs and start-of-pattern options change how matches are searched
            return {};
        }
        if (pos_ + 1 >= src_.size() || src_[pos_ + 1] != U'?') {
            ++pos_;
            return group(Atom::Kind::Group);
        }
        const std::u32string_view rest = src_.substr(pos_ + 2);
        if (rest.empty()) {
            fail();
            return {};
        }
        const char32_t k = rest[0];
        auto open = [&](std::size_t length, Atom::Kind kind) {
            pos_ += 2 + length;
            return group(kind);
        };
        if (k == U':' || k == U'|' || k == U'>') return open(1, Atom::Kind::Group);
        if (k == U'=' || k == U'!') return open(1, Atom::Kind::Zero);
        if (k == U'<' && rest.size() > 1 && (rest[1] == U'=' || rest[1] == U'!')) {
            Atom atom = open(2, Atom::Kind::Zero);
            atom.lookbehind = rest[1] == U'=';
            return atom;
        }
        if (k == U'<' || k == U'\'' || (k == U'P' && rest.size() > 1 && rest[1] == U'<')) {
            const char32_t close = k == U'\'' ? U'\'' : U'>';
            const std::size_t end = src_.find(close, pos_ + 3 + (k == U'P'));
            if (end == std::u32string_view::npos) {
                fail();
                return {};
            }
            pos_ = end + 1;
            return group(Atom::Kind::Group);
        }
        if (k == U'#') {
            const std::size_t end = src_.find(U')', pos_);
            // A quantifier after a comment repeats the item before the comment.
            if (end == std::u32string_view::npos ||
                (end + 1 < src_.size() && std::u32string_view(U"?*+{").find(src_[end + 1]) != std::u32string_view::npos)) {
                fail();
                return {};
            }
            pos_ = end + 1;
            return make(Atom::Kind::Zero, 0);
        }
        if (k == U'(' || (k == U'P' && rest.size() > 1 && (rest[1] == U'=' || rest[1] == U'>')) || k == U'R' ||
            k == U'&' || k == U'+' || is_digit(k) || (k == U'-' && rest.size() > 1 && is_digit(rest[1]))) {
            // Conditionals, back references by name, recursion and calls: width unknown.
            if (!skip_balanced()) fail();
            return make(Atom::Kind::Unknown, kInf);
        }
        // Option settings: (?i) (?-i) (?s:...) and the like; anything else
        // (callouts such as "(?C)", unknown letters) is left to the exact engine.
        std::size_t i = 0;
        while (i < rest.size() && std::u32string_view(U"imsxnJU-").find(rest[i]) != std::u32string_view::npos) {
            if (rest[i] == U'x' || rest[i] == U'n') {
                fail();  // extended syntax reads blanks and '#' differently; no-auto-capture renames groups
                return {};
            }
            if (rest[i] == U'i') caseless_ = true;
            ++i;
        }
        if (i == 0 || i >= rest.size() || (rest[i] != U')' && rest[i] != U':')) {
            fail();
            return {};
        }
        if (rest[i] == U')') {
            pos_ += 2 + i + 1;
            return make(Atom::Kind::Zero, 0);
        }
        return open(i + 1, Atom::Kind::Group);
    }

    Atom parse_escape() {
        // pos_ is at '\'.
        if (pos_ + 1 >= src_.size()) {
            fail();
            return {};
        }
        const char32_t e = src_[pos_ + 1];
        pos_ += 2;
        switch (e) {
            case U'd': case U'D': case U'w': case U'W': case U's': case U'S':
            case U'h': case U'H': case U'v': case U'V':
                return make(Atom::Kind::Consumes, 1);
            case U'N':
                if (pos_ < src_.size() && src_[pos_] == U'{') break;
                return make(Atom::Kind::Consumes, 1);
            case U'p': case U'P':
                if (pos_ < src_.size() && src_[pos_] == U'{') {
                    const std::size_t end = src_.find(U'}', pos_);
                    if (end == std::u32string_view::npos) break;
                    pos_ = end + 1;
                } else {
                    ++pos_;
                }
                return make(Atom::Kind::Consumes, 1);
            case U'R':
                return make(Atom::Kind::Consumes, 2);
            case U'X':
                return make(Atom::Kind::Consumes, kInf);
            case U'b': case U'B': case U'A': case U'z': case U'Z':
                return make(Atom::Kind::Zero, 0);
            case U'n': return make(Atom::Kind::Char, 1, U'\n');
            case U't': return make(Atom::Kind::Char, 1, U'\t');
            case U'r': return make(Atom::Kind::Char, 1, U'\r');
            case U'f': return make(Atom::Kind::Char, 1, U'\f');
            case U'e': return make(Atom::Kind::Char, 1, 0x1B);
            case U'a': return make(Atom::Kind::Char, 1, 0x07);
            case U'x': {
                std::uint32_t value = 0;
                if (pos_ < src_.size() && src_[pos_] == U'{') {
                    std::size_t i = pos_ + 1;
                    for (; i < src_.size() && is_hex(src_[i]) && i - pos_ <= 8; ++i) value = value * 16 + hex_value(src_[i]);
                    if (i == pos_ + 1 || i >= src_.size() || src_[i] != U'}') break;
                    pos_ = i + 1;
                } else {
                    for (int n = 0; n < 2 && pos_ < src_.size() && is_hex(src_[pos_]); ++n, ++pos_) {
                        value = value * 16 + hex_value(src_[pos_]);
                    }
                }
                return make(Atom::Kind::Char, 1, static_cast<char32_t>(value));
            }
            default:
                // Escaped punctuation is the character itself; any other
                // letter or digit (back references, \G, \K, \Q, octal, ...)
                // is left to the exact engine.
                if (!is_alnum(e) && e < 0x80) return make(Atom::Kind::Char, 1, e);
                break;
        }
        fail();
        return {};
    }

    // A class of a few plain characters ("[ \t]", "[pousr]") is a Set; any
    // other class (ranges, negation, escapes for classes) just consumes one.
    Atom small_set(std::u32string_view body) {
        Atom atom = make(Atom::Kind::Consumes, 1);
        std::u32string members;
        for (std::size_t i = 0; i < body.size(); ++i) {
            char32_t c = body[i];
            // A '-' between two members makes a range; first or last, it is itself.
            const bool range = c == U'-' && i != 0 && i + 1 != body.size();
            if (c == U'^' || range || c == U'[' || c == U']') return atom;
            if (c == U'\\') {
                if (++i >= body.size()) return atom;
                c = body[i];
                if (c == U't') {
                    c = U'\t';
                } else if (c == U'n') {
                    c = U'\n';
                } else if (c == U'r') {
                    c = U'\r';
                } else if (is_alnum(c) || c >= 0x80) {
                    return atom;
                }
            }
            if (members.find(c) == std::u32string::npos) members.push_back(c);
        }
        if (members.empty() || members.size() > 6) return atom;
        atom.kind = Atom::Kind::Set;
        atom.members = std::move(members);
        return atom;
    }

    Atom parse_atom() {
        const char32_t c = src_[pos_];
        switch (c) {
            case U'(':
                return parse_group();
            case U'[': {
                const std::size_t open = pos_;
                if (!skip_class()) fail();
                return small_set(src_.substr(open + 1, pos_ - open - 2));
            }
            case U'.':
                ++pos_;
                return make(Atom::Kind::Consumes, 1);
            case U'^':
            case U'$':
                ++pos_;
                return make(Atom::Kind::Zero, 0);
            case U'\\':
                return parse_escape();
            case U'*':
            case U'+':
            case U'?':
            case U'{':
                fail();
                return {};
            default:
                ++pos_;
                return make(Atom::Kind::Char, 1, c);
        }
    }

    static bool read_number(std::u32string_view s, std::size_t& i, std::uint32_t& value) {
        const std::size_t start = i;
        std::uint64_t v = 0;
        for (; i < s.size() && is_digit(s[i]); ++i) v = std::min<std::uint64_t>(v * 10 + (s[i] - U'0'), kInf - 1);
        value = static_cast<std::uint32_t>(v);
        return i > start;
    }

    void quantifier(Atom& atom) {
        if (pos_ >= src_.size()) return;
        const char32_t q = src_[pos_];
        std::uint32_t min = 1, max = 1;
        if (q == U'?') {
            min = 0;
            ++pos_;
        } else if (q == U'*') {
            min = 0;
            max = kInf;
            ++pos_;
        } else if (q == U'+') {
            max = kInf;
            ++pos_;
        } else if (q == U'{') {
            std::size_t i = pos_ + 1;
            if (!read_number(src_, i, min)) return;  // not a quantifier: the next atom fails on '{'
            max = min;
            if (i < src_.size() && src_[i] == U',') {
                ++i;
                if (!read_number(src_, i, max)) max = kInf;
            }
            if (i >= src_.size() || src_[i] != U'}') return;
            pos_ = i + 1;
        } else {
            return;
        }
        if (pos_ < src_.size() && (src_[pos_] == U'?' || src_[pos_] == U'+')) ++pos_;
        atom.min = min;
        atom.max = max;
    }

    std::u32string_view src_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    bool caseless_ = false;
    int depth_ = 0;
};

using Literals = std::optional<std::vector<std::u32string>>;

class Prefixes {
  public:
    explicit Prefixes(bool caseless) : caseless_(caseless) {}

    // The literals one of which starts every match of items[i:], or nothing.
    Literals of(const Items& items, std::size_t i) {
        const Nested nested(depth_);
        while (i < items.size() && item_width(items[i]) == 0) ++i;
        if (++steps_ > kMaxSteps || nested.too_deep() || i >= items.size()) return std::nullopt;
        const Atom& atom = items[i];
        bool complete = false;
        std::vector<std::u32string> run = walk(items, i, complete);
        if (!run.empty() && std::find(run.begin(), run.end(), std::u32string()) == run.end()) return run;
        if (atom.min == 0) {
            Literals without = of(items, i + 1);
            if (!without) return std::nullopt;
            Literals with = atom.max == 1 ? once(items, i) : alone(atom);
            return merge(std::move(with), std::move(*without));
        }
        return atom.max == 1 ? once(items, i) : alone(atom);
    }

  private:
    bool usable(char32_t c) const { return !caseless_ || c < 0x80; }

    // Spells out items[i:] for as long as they are plain characters, small
    // sets, optional ones and groups of such: every match of items[i:]
    // starts with one of the strings returned. `complete` tells whether the
    // spelling reached the end of the items.
    std::vector<std::u32string> walk(const Items& items, std::size_t i, bool& complete) {
        std::vector<std::u32string> spelled{std::u32string()};
        complete = false;
        const Nested nested(depth_);
        if (nested.too_deep()) return spelled;
        for (; i < items.size(); ++i) {
            if (++steps_ > kMaxSteps) return spelled;
            const Atom& atom = items[i];
            if (item_width(atom) == 0) continue;
            if (atom.max != 1) return spelled;
            std::vector<std::u32string> options;
            if (atom.kind == Atom::Kind::Char) {
                if (!usable(atom.c)) return spelled;
                options.emplace_back(1, atom.c);
            } else if (atom.kind == Atom::Kind::Set) {
                for (const char32_t c : atom.members) {
                    if (!usable(c)) return spelled;
                    options.emplace_back(1, c);
                }
            } else if (atom.kind == Atom::Kind::Group) {
                for (const Items& branch : atom.group->branches) {
                    bool whole = false;
                    std::vector<std::u32string> these = walk(branch, 0, whole);
                    if (!whole) return spelled;
                    options.insert(options.end(), these.begin(), these.end());
                }
            } else {
                return spelled;
            }
            std::vector<std::u32string> next;
            if (atom.min == 0) next = spelled;
            for (const std::u32string& head : spelled) {
                for (const std::u32string& tail : options) {
                    next.push_back((head + tail).substr(0, kMaxLiteral));
                }
            }
            std::sort(next.begin(), next.end());
            next.erase(std::unique(next.begin(), next.end()), next.end());
            // Spelling out many variants makes the search slower than the
            // few extra tries that shorter literals cost.
            if (next.size() > kMaxSpellings) return spelled;
            spelled.swap(next);
            bool full = true;
            for (const std::u32string& literal : spelled) full = full && literal.size() >= kMaxLiteral;
            if (full) return spelled;
        }
        complete = true;
        return spelled;
    }

    static Literals merge(Literals a, std::vector<std::u32string> b) {
        if (!a) return std::nullopt;
        a->insert(a->end(), std::make_move_iterator(b.begin()), std::make_move_iterator(b.end()));
        std::sort(a->begin(), a->end());
        a->erase(std::unique(a->begin(), a->end()), a->end());
        if (a->size() > kMaxLiterals) return std::nullopt;
        return a;
    }

    // items[i] taken exactly once, followed by the rest.
    Literals once(const Items& items, std::size_t i) {
        const Atom& atom = items[i];
        if (atom.kind == Atom::Kind::Char) {
            if (!usable(atom.c)) return std::nullopt;
            Items one{atom};
            one.back().min = one.back().max = 1;
            one.insert(one.end(), items.begin() + static_cast<std::ptrdiff_t>(i) + 1, items.end());
            return of(one, 0);
        }
        if (atom.kind != Atom::Kind::Group) return std::nullopt;
        Literals all = std::vector<std::u32string>{};
        for (const Items& branch : atom.group->branches) {
            Items joined = branch;
            joined.insert(joined.end(), items.begin() + static_cast<std::ptrdiff_t>(i) + 1, items.end());
            Literals these = of(joined, 0);
            if (!these) return std::nullopt;
            all = merge(std::move(all), std::move(*these));
            if (!all) return std::nullopt;
        }
        return all;
    }

    // One repetition of `atom` on its own: what follows may be another repetition.
    Literals alone(const Atom& atom) {
        if (atom.kind == Atom::Kind::Char) {
            if (!usable(atom.c)) return std::nullopt;
            return std::vector<std::u32string>{std::u32string(1, atom.c)};
        }
        if (atom.kind != Atom::Kind::Group) return std::nullopt;
        Literals all = std::vector<std::u32string>{};
        for (const Items& branch : atom.group->branches) {
            Literals these = of(branch, 0);
            if (!these) return std::nullopt;
            all = merge(std::move(all), std::move(*these));
            if (!all) return std::nullopt;
        }
        return all;
    }

    bool caseless_;
    std::size_t steps_ = 0;
    int depth_ = 0;
};

}  // namespace

Anchors find_anchors(std::u32string_view pcre_pattern) {
    Anchors result;
    // Quoted runs are not worth a parser of their own.
    if (pcre_pattern.find(U"\\Q") != std::u32string_view::npos) return result;
    Parser parser(pcre_pattern);
    const std::shared_ptr<Alternation> root = parser.parse();
    if (!root) return result;
    Items top;
    if (root->branches.size() == 1) {
        top = root->branches.front();
    } else {
        Atom whole;
        whole.kind = Atom::Kind::Group;
        whole.group = root;
        whole.width = 0;
        for (const Items& branch : root->branches) whole.width = std::max(whole.width, sequence_width(branch));
        top.push_back(std::move(whole));
    }
    Prefixes prefixes(parser.caseless());
    const bool caseless = parser.caseless();
    // A look-behind for a plain literal at the very start ("(?<=://)"): the
    // match starts right after that literal.
    for (const Atom& atom : top) {
        if (item_width(atom) != 0) break;
        if (!atom.lookbehind || atom.min == 0 || atom.group->branches.size() != 1) continue;
        std::u32string literal;
        for (const Atom& c : atom.group->branches.front()) {
            if (c.kind != Atom::Kind::Char || c.min != 1 || c.max != 1 || (caseless && c.c >= 0x80)) {
                literal.clear();
                break;
            }
            literal.push_back(c.c);
        }
        if (literal.empty() || literal.size() > kMaxLiteral) continue;
        result.found = true;
        result.skip = static_cast<std::uint32_t>(literal.size());
        result.literals = {literal};
        break;
    }
    std::size_t best_shortest = result.found ? std::min<std::size_t>(result.literals.front().size(), 4) : 0;
    // Each position of the top-level sequence whose distance from the start is
    // bounded may supply the anchors; the longest shortest literal wins, then
    // the shortest distance.
    std::uint32_t before = 0;
    for (std::size_t i = 0; i < top.size() && before != kInf; before = add(before, item_width(top[i])), ++i) {
        Literals literals = prefixes.of(top, i);
        if (!literals || literals->empty()) continue;
        std::size_t shortest = kMaxLiteral;
        for (const std::u32string& literal : *literals) shortest = std::min(shortest, literal.size());
        shortest = std::min<std::size_t>(shortest, 4);
        if (!result.found || shortest > best_shortest) {
            result.found = true;
            result.before = before;
            result.skip = 0;
            result.literals = std::move(*literals);
            best_shortest = shortest;
        }
    }
    result.caseless = caseless;
    return result;
}

}  // namespace vorn::masking
