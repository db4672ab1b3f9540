import numpy as np


def test_energy_of_a_short_signal(fenwy):
    np.testing.assert_array_equal(fenwy.calc_energy(np.array([1.0, 2.0, 3.0, 4.0]), 2, 2, False), [2.5, 12.5])
