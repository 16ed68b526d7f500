#pragma once

#include <nanobind/nanobind.h>

namespace kolta_test {

namespace nb = nanobind;

void bind_bridge_helpers(nb::module_ &m);
void bind_record_helpers(nb::module_ &m);
void bind_bench_helpers(nb::module_ &m);

} // namespace kolta_test
