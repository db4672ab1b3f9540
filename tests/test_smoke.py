import os
import sysconfig
from pathlib import Path

import numpy as np
import pytest


def test_energy_of_a_short_signal(fenwy):
    np.testing.assert_array_equal(fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, False), [2.5, 12.5])


# CI sets this where it tests a wheel or an sdist: a stray path to the
# checkout's package/ would otherwise test the sources instead, unnoticed.
@pytest.mark.skipif(not os.environ.get("OSTREL_TEST_INSTALLED"), reason="the run does not test an installed package")
def test_the_installed_package_is_the_one_under_test():
    import ostrel
    import ostrel.cli
    import ostrel.fenwy

    site = Path(sysconfig.get_path("platlib")).resolve()
    for module in (ostrel, ostrel.fenwy, ostrel.cli):
        assert Path(module.__file__).resolve().parent.is_relative_to(site), module.__file__
    assert Path(ostrel.fenwy.__file__).name.startswith("fenwy.cpython-")
