#include "testhelpers.h"

namespace kolta_test {

void bind_record_helpers(nb::module_ &) {}

} // namespace kolta_test
