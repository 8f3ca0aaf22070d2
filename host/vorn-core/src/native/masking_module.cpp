// Python bindings of the masking kernel: conversions only.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "masking_engine.hpp"

namespace nb = nanobind;
using vorn::masking::CompiledPattern;
using vorn::masking::LiteralSet;
using vorn::masking::RuleSet;
using vorn::masking::MatchError;
using vorn::masking::PatternError;

namespace {

PyObject* g_pattern_error = nullptr;
PyObject* g_match_error = nullptr;

// Copies a str into code points; any str is accepted, lone surrogates included.
void code_points_into(nb::handle value, const char* what, std::u32string& out) {
    PyObject* obj = value.ptr();
    if (!PyUnicode_Check(obj)) {
        throw nb::type_error((std::string(what) + " must be str, not " + Py_TYPE(obj)->tp_name).c_str());
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    out.resize(static_cast<std::size_t>(n));
    switch (kind) {
        case PyUnicode_1BYTE_KIND: {
            const auto* src = static_cast<const Py_UCS1*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = src[i];
            break;
        }
        case PyUnicode_2BYTE_KIND: {
            const auto* src = static_cast<const Py_UCS2*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = src[i];
            break;
        }
        default: {
            const auto* src = static_cast<const Py_UCS4*>(data);
            for (Py_ssize_t i = 0; i < n; ++i) out[i] = src[i];
            break;
        }
    }
}

std::u32string to_code_points(nb::handle value, const char* what) {
    std::u32string out;
    code_points_into(value, what, out);
    return out;
}

// Buffers per thread for a text and its masked form, kept between calls.
struct TextBuffers {
    std::u32string text;
    std::u32string out;
    std::string ascii_out;
};

TextBuffers& text_buffers() {
    thread_local TextBuffers buffers;
    return buffers;
}

// Builds the result and lets go of buffers that grew large.
nb::object finish(nb::handle text, bool changed, TextBuffers& buffers);

// The one-byte view of a str (see narrow_view): a str of one-byte kind is its
// own view, so it is read in place.
struct NarrowView {
    std::string owned;
    std::string_view bytes;
};

void narrow_str(nb::handle value, NarrowView& view) {
    PyObject* obj = value.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    if (kind == PyUnicode_1BYTE_KIND) {
        view.bytes = std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(n));
        return;
    }
    view.owned.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        view.owned[i] = static_cast<char>(vorn::masking::narrow(PyUnicode_READ(kind, data, i)));
    }
    view.bytes = view.owned;
}

void require_str(nb::handle value, const char* what) {
    if (!PyUnicode_Check(value.ptr())) {
        throw nb::type_error((std::string(what) + " must be str, not " + Py_TYPE(value.ptr())->tp_name).c_str());
    }
}

// The compiled patterns of `rules` (any iterable), with references that keep
// them alive while the GIL is released.
std::vector<const CompiledPattern*> patterns_of(nb::handle rules, std::vector<nb::object>& held) {
    std::vector<const CompiledPattern*> patterns;
    for (nb::handle rule : nb::iter(rules)) {
        // nanobind casts None to a null pointer; only real patterns may pass.
        if (!nb::isinstance<CompiledPattern>(rule)) {
            throw nb::type_error(
                (std::string("rules must be Pattern objects, not ") + Py_TYPE(rule.ptr())->tp_name).c_str());
        }
        held.push_back(nb::borrow(rule));
        patterns.push_back(nb::cast<const CompiledPattern*>(rule));
    }
    return patterns;
}

// An ordered rule set, holding its rules.
struct PyRuleSet {
    std::vector<nb::object> held;
    std::unique_ptr<RuleSet> set;
};

nb::str from_code_points(const std::u32string& text) {
    // Most texts are ASCII: one pass builds the str and finds out whether it was.
    const auto n = static_cast<Py_ssize_t>(text.size());
    if (PyObject* ascii = PyUnicode_New(n, 127)) {
        auto* dst = static_cast<Py_UCS1*>(PyUnicode_DATA(ascii));
        char32_t seen = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            seen |= text[i];
            dst[i] = static_cast<Py_UCS1>(text[i]);
        }
        if (seen < 0x80) return nb::steal<nb::str>(ascii);
        Py_DECREF(ascii);
    } else {
        throw nb::python_error();
    }
    PyObject* obj = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), n);
    if (obj == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(obj);
}

// The result of an ASCII text matched in place.
nb::object finish_ascii(nb::handle text, bool changed, TextBuffers& buffers) {
    nb::object result = nb::borrow(text);
    if (changed) {
        const auto n = static_cast<Py_ssize_t>(buffers.ascii_out.size());
        PyObject* obj = PyUnicode_New(n, 127);
        if (obj == nullptr) throw nb::python_error();
        std::memcpy(PyUnicode_DATA(obj), buffers.ascii_out.data(), static_cast<std::size_t>(n));
        result = nb::steal(obj);
    }
    vorn::masking::release_if_large(buffers.ascii_out);
    return result;
}

nb::object finish(nb::handle text, bool changed, TextBuffers& buffers) {
    nb::object result = changed ? nb::object(from_code_points(buffers.out)) : nb::borrow(text);
    vorn::masking::release_if_large(buffers.text);
    vorn::masking::release_if_large(buffers.out);
    return result;
}

void translate_errors(const std::exception_ptr& p, void*) {
    try {
        std::rethrow_exception(p);
    } catch (const PatternError& e) {
        PyObject* args = Py_BuildValue("(ssn)", e.rule().c_str(), e.reason().c_str(), static_cast<Py_ssize_t>(e.offset()));
        if (args != nullptr) {
            PyErr_SetObject(g_pattern_error, args);
            Py_DECREF(args);
        }
    } catch (const MatchError& e) {
        PyObject* args = Py_BuildValue("(ssi)", e.rule().c_str(), e.reason().c_str(), e.code());
        if (args != nullptr) {
            PyErr_SetObject(g_match_error, args);
            Py_DECREF(args);
        }
    }
}

}  // namespace

NB_MODULE(_masking, m) {
    m.doc() = "PCRE2 masking engine (native part of vorn_core.masking).";
    // Compiled rules live in module-level tuples of the library and are still referenced
    // when the interpreter finalises; that is not a leak worth a report at every exit.
    nanobind::set_leak_warnings(false);

    g_pattern_error = PyErr_NewExceptionWithDoc("vorn_core.masking._masking.PatternError",
                                                "A pattern PCRE2 cannot compile: args are (rule, reason, offset).",
                                                PyExc_ValueError, nullptr);
    g_match_error = PyErr_NewExceptionWithDoc("vorn_core.masking._masking.MatchError",
                                              "A rule that failed while matching: args are (rule, reason, code).",
                                              PyExc_RuntimeError, nullptr);
    m.attr("PatternError") = nb::borrow(g_pattern_error);
    m.attr("MatchError") = nb::borrow(g_match_error);
    nb::register_exception_translator(translate_errors);

    m.attr("MATCH_LIMIT") = vorn::masking::kMatchLimit;
    m.attr("DEPTH_LIMIT") = vorn::masking::kDepthLimit;

    nb::class_<CompiledPattern>(m, "Pattern")
        .def(
            "__init__",
            [](CompiledPattern* self, const std::string& name, nb::handle pattern, nb::handle replacement) {
                new (self) CompiledPattern(name, to_code_points(pattern, "pattern"),
                                           to_code_points(replacement, "replacement"));
            },
            nb::arg("name"), nb::arg("pattern"), nb::arg("replacement"),
            nb::sig("def __init__(self, name: str, pattern: str, replacement: str) -> None"))
        .def_prop_ro("name", &CompiledPattern::name)
        .def_prop_ro("jit", &CompiledPattern::jit)
        .def_prop_ro("ascii", &CompiledPattern::ascii,
                     "Whether ASCII texts run on the pattern's 8-bit code, read in place; a rule set takes that "
                     "path only when every rule has it.")
        .def_prop_ro("secret_group", &CompiledPattern::secret_group)
        .def_prop_ro(
            "anchors",
            [](const CompiledPattern& self) -> nb::object {
                const vorn::masking::Anchors& a = self.anchors();
                if (!a.found) return nb::none();
                nb::list literals;
                for (const std::u32string& literal : a.literals) literals.append(from_code_points(literal));
                return nb::make_tuple(nb::tuple(literals), a.before, a.skip, a.caseless);
            },
            nb::sig("def anchors(self) -> tuple[tuple[str, ...], int, int, bool] | None"),
            "(literals, before, skip, caseless): every match starts from `before` code points ahead of to "
            "`skip` after one of the literals; None when the rule runs over the whole text.");

    m.def(
        "mask",
        [](nb::handle text, nb::handle rules) -> nb::object {
            // The rules first: iterating them may run Python code, which may mask as well.
            std::vector<nb::object> held;
            const std::vector<const CompiledPattern*> patterns = patterns_of(rules, held);
            TextBuffers& buffers = text_buffers();
            code_points_into(text, "text", buffers.text);
            bool changed = false;
            {
                nb::gil_scoped_release release;
                changed = vorn::masking::mask(buffers.text, patterns, buffers.out);
            }
            return finish(text, changed, buffers);
        },
        nb::arg("text"), nb::arg("rules"),
        nb::sig("def mask(text: str, rules: collections.abc.Iterable[Pattern]) -> str"),
        "Apply compiled patterns in order, each over the whole text; returns the text itself when nothing matched.");

    nb::class_<PyRuleSet>(m, "RuleSet")
        .def(
            "__init__",
            [](PyRuleSet* self, nb::handle rules) {
                new (self) PyRuleSet();
                self->set = std::make_unique<RuleSet>(patterns_of(rules, self->held));
            },
            nb::arg("rules"), nb::sig("def __init__(self, rules: collections.abc.Iterable[Pattern]) -> None"))
        .def(
            "prefiltered",
            [](const PyRuleSet& self, std::size_t i) {
                if (i >= self.held.size()) throw nb::index_error("rule index out of range");
                return self.set->prefiltered(i);
            },
            nb::arg("index"), "Whether the rule at `index` runs only around its anchors.")
        .def(
            "mask",
            [](const PyRuleSet& self, nb::handle text) -> nb::object {
                require_str(text, "text");
                NarrowView view;
                narrow_str(text, view);
                RuleSet::Scan found;
                bool changed = false;
                bool candidates = false;
                {
                    nb::gil_scoped_release release;
                    candidates = self.set->scan(view.bytes, found);
                }
                if (!candidates) return nb::borrow(text);
                TextBuffers& buffers = text_buffers();
                if (found.ok && self.set->ascii() && PyUnicode_IS_ASCII(text.ptr())) {
                    // Matched in place, one byte per character.
                    {
                        nb::gil_scoped_release release;
                        changed = self.set->mask_ascii(view.bytes, found, buffers.ascii_out);
                    }
                    return finish_ascii(text, changed, buffers);
                }
                code_points_into(text, "text", buffers.text);
                {
                    nb::gil_scoped_release release;
                    changed = self.set->mask(buffers.text, found, buffers.out);
                }
                return finish(text, changed, buffers);
            },
            nb::arg("text"), nb::sig("def mask(self, text: str) -> str"),
            "Same result as mask(text, rules), reading the text once to find where rules can match.");

    nb::class_<LiteralSet>(m, "LiteralSet")
        .def(
            "__init__",
            [](LiteralSet* self, nb::handle literals, nb::handle replacement) {
                std::vector<std::u32string> values;
                for (nb::handle literal : nb::iter(literals)) {
                    values.push_back(to_code_points(literal, "literal"));
                    if (values.back().empty()) throw nb::value_error("literals must not be empty");
                }
                std::u32string with = to_code_points(replacement, "replacement");
                nb::gil_scoped_release release;
                new (self) LiteralSet(std::move(values), std::move(with));
            },
            nb::arg("literals"), nb::arg("replacement"),
            nb::sig("def __init__(self, literals: collections.abc.Iterable[str], replacement: str) -> None"))
        .def(
            "replace",
            [](const LiteralSet& self, nb::handle text) -> nb::object {
                require_str(text, "text");
                NarrowView view;
                TextBuffers& buffers = text_buffers();
                bool changed = false;
                if (self.ascii() && PyUnicode_IS_ASCII(text.ptr())) {
                    // Read in place: one scan finds and replaces.
                    narrow_str(text, view);
                    {
                        nb::gil_scoped_release release;
                        changed = self.replace_ascii(view.bytes, buffers.ascii_out);
                    }
                    return finish_ascii(text, changed, buffers);
                }
                if (self.one_pass()) {
                    // A scan first spares the wide copy of a text without any literal.
                    narrow_str(text, view);
                    bool candidates = false;
                    {
                        nb::gil_scoped_release release;
                        candidates = self.may_occur(view.bytes);
                    }
                    if (!candidates) return nb::borrow(text);
                }
                code_points_into(text, "text", buffers.text);
                {
                    nb::gil_scoped_release release;
                    changed = self.replace(buffers.text, view.bytes, buffers.out);
                }
                return finish(text, changed, buffers);
            },
            nb::arg("text"), nb::sig("def replace(self, text: str) -> str"),
            "Replace every literal, in order, each in what the ones before left.");
}
