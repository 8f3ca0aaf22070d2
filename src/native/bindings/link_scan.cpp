#include "bindings/bindings.hpp"

void bind_link_scan(nanobind::module_ &) {}
