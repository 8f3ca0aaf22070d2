#include "bindings/bindings.hpp"
#include "kernels/link_scan.hpp"

#include <Python.h>

#include <cstdint>

namespace nb = nanobind;
using vorn::link_scan::Span;

namespace {

template <typename CharT>
std::vector<Span> scan(const void *data, Py_ssize_t len) {
    return vorn::link_scan::find_sandbox_links(
        std::basic_string_view<CharT>(static_cast<const CharT *>(data), static_cast<std::size_t>(len)));
}

nb::list find_sandbox_links(nb::str text) {
    PyObject *obj = text.ptr();
    const Py_ssize_t len = PyUnicode_GET_LENGTH(obj);
    const int kind = PyUnicode_KIND(obj);
    const void *data = PyUnicode_DATA(obj);
    std::vector<Span> spans;
    {
        // The str is immutable and referenced by the caller, so its storage
        // stays valid while other threads run.
        nb::gil_scoped_release release;
        switch (kind) {
            case PyUnicode_1BYTE_KIND: spans = scan<std::uint8_t>(data, len); break;
            case PyUnicode_2BYTE_KIND: spans = scan<std::uint16_t>(data, len); break;
            default: spans = scan<std::uint32_t>(data, len); break;
        }
    }
    nb::list result;
    for (const Span &sp : spans) {
        PyObject *path = PyUnicode_Substring(
            obj, static_cast<Py_ssize_t>(sp.begin), static_cast<Py_ssize_t>(sp.end));
        if (!path) throw nb::python_error();
        result.append(nb::steal<nb::str>(path));
    }
    return result;
}

}  // namespace

void bind_link_scan(nb::module_ &m) {
    m.def("find_sandbox_links", &find_sandbox_links, nb::arg("text"),
          "Return the paths of the markdown links to \"sandbox:/...\" targets in `text`, in order.\n\n"
          "Same results as re.findall(r'\\[[^\\]]+\\]\\(sandbox:(/[^\\)]+)\\)', text), in linear time.");
}
