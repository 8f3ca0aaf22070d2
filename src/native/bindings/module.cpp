#include "bindings/bindings.hpp"

NB_MODULE(_native, m) {
    m.doc() = "Native text kernels of vorn_tools.";
    bind_output_sink(m);
    bind_link_scan(m);
}
