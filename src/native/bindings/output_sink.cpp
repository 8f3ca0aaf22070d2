#include "bindings/bindings.hpp"

void bind_output_sink(nanobind::module_ &) {}
