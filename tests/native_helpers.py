"""The native test helpers (_kolta_testhelpers), built with the module by
`make setup`. A test module that imports them from here is skipped, with the
reason, where they are not built (e.g. after `pip install ".[test]"`)."""

import pytest

helpers = pytest.importorskip(
    "_kolta_testhelpers",
    reason="_kolta_testhelpers (native test helpers) is not built; `make setup` builds "
           "it (pip install -C cmake.define.KOLTA_BUILD_TEST_HELPERS=ON .)")
