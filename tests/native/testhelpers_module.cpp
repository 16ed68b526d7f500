#include "testhelpers.h"

NB_MODULE(_kolta_testhelpers, m) {
    kolta_test::bind_bridge_helpers(m);
    kolta_test::bind_record_helpers(m);
    kolta_test::bind_bench_helpers(m);
}
