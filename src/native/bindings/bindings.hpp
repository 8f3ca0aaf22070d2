#pragma once
#include <nanobind/nanobind.h>

// Each kernel registers its Python surface in its own translation unit.
void bind_output_sink(nanobind::module_ &m);
void bind_link_scan(nanobind::module_ &m);
