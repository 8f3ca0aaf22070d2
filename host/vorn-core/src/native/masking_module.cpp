// Python bindings of the masking kernel: conversions only.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <vector>

#include "masking_engine.hpp"

namespace nb = nanobind;
using vorn::masking::CompiledPattern;
using vorn::masking::MatchError;
using vorn::masking::PatternError;

namespace {

PyObject* g_pattern_error = nullptr;
PyObject* g_match_error = nullptr;

// Copies a str into code points; any str is accepted, lone surrogates included.
std::u32string to_code_points(nb::handle value, const char* what) {
    PyObject* obj = value.ptr();
    if (!PyUnicode_Check(obj)) {
        throw nb::type_error((std::string(what) + " must be str, not " + Py_TYPE(obj)->tp_name).c_str());
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void* data = PyUnicode_DATA(obj);
    std::u32string out(static_cast<std::size_t>(n), U'\0');
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
    return out;
}

nb::str from_code_points(const std::u32string& text) {
    PyObject* obj = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
    if (obj == nullptr) throw nb::python_error();
    return nb::steal<nb::str>(obj);
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
        .def_prop_ro("secret_group", &CompiledPattern::secret_group);

    m.def(
        "mask",
        [](nb::handle text, nb::handle rules) -> nb::object {
            std::u32string code_points = to_code_points(text, "text");
            // Holding the rule objects keeps them alive while the GIL is released.
            std::vector<nb::object> held;
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
            std::u32string out;
            bool changed = false;
            {
                nb::gil_scoped_release release;
                changed = vorn::masking::mask(code_points, patterns, out);
            }
            if (!changed) return nb::borrow(text);
            return from_code_points(out);
        },
        nb::arg("text"), nb::arg("rules"),
        nb::sig("def mask(text: str, rules: collections.abc.Iterable[Pattern]) -> str"),
        "Apply compiled patterns in order; returns the text itself when nothing matched.");
}
