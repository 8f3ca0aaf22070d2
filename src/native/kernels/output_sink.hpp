#pragma once
// Bounded record of the lines of one output stream that keeps the newest lines.
//
// Plain C++: the line type is a template parameter and the caller supplies each
// line's length in characters, so the kernel neither copies nor re-encodes the
// text it holds (the Python binding stores the str objects themselves).

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

namespace vorn::kernels {

// Budget of one sink in characters (code points), and its truncation notice.
inline constexpr std::size_t kMaxStreamedOutputChars = 256 * 1024;

inline std::string output_truncated_notice() {
    return "[... earlier output truncated, keeping the last " +
           std::to_string(kMaxStreamedOutputChars / 1024) + "K characters ...]";
}

template <typename Line>
class BoundedOutputSink {
public:
    struct Entry {
        Line line;
        std::size_t length;
    };

    // Records one line of `length` characters. Each retained line costs its
    // length plus one (the newline that joins it to the next in a rendering).
    // Oldest lines are evicted while the total is strictly above the budget,
    // but the newest line is always kept, even when it alone exceeds it.
    void append(Line line, std::size_t length) {
        lines_.push_back(Entry{std::move(line), length});
        size_ += length + 1;
        while (size_ > kMaxStreamedOutputChars && lines_.size() > 1) {
            size_ -= lines_.front().length + 1;
            lines_.pop_front();
            truncated_ = true;
        }
    }

    // Visits the pieces of a rendering in order; the caller joins them with
    // "\n". An empty sink has no pieces. When lines were ever evicted, the
    // truncation notice comes first, so a clipped tail is never passed off as
    // the whole output; then the retained lines, oldest first.
    template <typename Visit>
    void for_each_rendered(const Line &notice, Visit &&visit) const {
        if (lines_.empty()) {
            return;
        }
        if (truncated_) {
            visit(notice);
        }
        for (const auto &entry : lines_) {
            visit(entry.line);
        }
    }

    const std::deque<Entry> &lines() const noexcept { return lines_; }
    std::size_t size() const noexcept { return size_; }
    bool truncated() const noexcept { return truncated_; }

private:
    std::deque<Entry> lines_;
    std::size_t size_ = 0;
    bool truncated_ = false;  // sticky: set by the first eviction, never cleared
};

}  // namespace vorn::kernels
