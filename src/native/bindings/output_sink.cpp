#include "bindings/bindings.hpp"
#include "kernels/output_sink.hpp"

#include <Python.h>

namespace nb = nanobind;
using Sink = vorn::kernels::BoundedOutputSink<nb::str>;

namespace {

nb::str truncated_notice() {
    static const std::string notice = vorn::kernels::output_truncated_notice();
    return nb::str(notice.data(), notice.size());
}

nb::list retained_lines(const Sink &sink) {
    nb::list out;
    for (const auto &entry : sink.lines()) {
        out.append(entry.line);
    }
    return out;
}

}  // namespace

void bind_output_sink(nb::module_ &m) {
    m.attr("MAX_STREAMED_OUTPUT_CHARS") = vorn::kernels::kMaxStreamedOutputChars;
    m.attr("OUTPUT_TRUNCATED") = truncated_notice();

    nb::class_<Sink>(m, "BoundedOutputSink",
                     "Record of one output stream's lines that keeps the newest 262144 "
                     "characters.\n\n"
                     "Each line costs its length in code points plus one. The oldest lines "
                     "are evicted while the total is above the budget; the newest line is "
                     "always kept. A rendering from which lines were dropped opens with a "
                     "truncation notice.")
        .def(nb::init<>(), "Create an empty sink.")
        .def(
            "append",
            [](Sink &self, nb::str line) {
                // Code points, not bytes: the str object is stored as it is, so
                // lone surrogates and non-ASCII text survive untouched.
                const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(line.ptr()));
                self.append(std::move(line), length);
            },
            nb::arg("line"),
            "Record one line (its trailing newline already removed by the caller).")
        .def(
            "render",
            [](const Sink &self) -> nb::str {
                nb::list parts;
                self.for_each_rendered(truncated_notice(),
                                       [&parts](const nb::str &piece) { parts.append(piece); });
                PyObject *joined = PyUnicode_Join(nb::str("\n").ptr(), parts.ptr());
                if (joined == nullptr) {
                    throw nb::python_error();
                }
                return nb::steal<nb::str>(joined);
            },
            "Return the retained lines joined by newlines, opening with the truncation "
            "notice when earlier lines were dropped.")
        .def_prop_ro(
            "_lines",
            [](const Sink &self) {
                return nb::module_::import_("collections").attr("deque")(retained_lines(self));
            },
            "A copy of the retained lines, oldest first (for tests and debugging).")
        .def_prop_ro("_size", &Sink::size,
                     "Sum over the retained lines of their length plus one.")
        .def_prop_ro("_truncated", &Sink::truncated,
                     "Whether any line has ever been evicted.");
}
