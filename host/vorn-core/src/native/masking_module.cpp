#include <nanobind/nanobind.h>

NB_MODULE(_masking, m) { m.doc() = "PCRE2 masking engine (placeholder)."; }
