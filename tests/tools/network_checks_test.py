#!/usr/bin/python3
"""The network checks catch wrong networks: one min made a max, a wire
reading outside its window; and a stale checked-in header is reported."""
import os
import sys
import tempfile
import unittest
from unittest import mock

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import gen_tiled_network  # noqa: E402
import median_networks  # noqa: E402
import network_checks  # noqa: E402


def flipped(m, op_index):
    """m with operation op_index's min and max exchanged."""
    op = m.net.ops[op_index]
    m.net.ops[op_index] = ("max" if op[0] == "min" else "min",) + op[1:]
    return m


def first_op(m):
    return next(i for i, op in enumerate(m.net.ops) if m.needed[i] and op[0] != "in")


class NetworkChecks(unittest.TestCase):
    def test_right_networks_pass(self):
        for method in ("pruned", "separable"):
            m = median_networks.build(3, 4, 2, method)
            self.assertIsNone(network_checks.check_random(m, 30))
            self.assertIsNone(network_checks.check_exhaustive(m))
            self.assertIsNone(network_checks.check_sampled(m, 256))
        self.assertIsNone(network_checks.check_sampled(median_networks.build(7, 2, 1), 1024))

    def test_one_wrong_operation_is_found(self):
        for window, method, check in ((3, "separable", network_checks.check_exhaustive),
                                      (3, "pruned", network_checks.check_exhaustive),
                                      (5, "pruned", lambda m: network_checks.check_random(m, 30)),
                                      (7, "pruned", lambda m: network_checks.check_sampled(m, 1024))):
            for pick in (first_op, lambda m: m.outputs[(1, 0)]):
                m = median_networks.build(window, 2, 2, method)
                with self.subTest(window=window, method=method):
                    self.assertIsNotNone(check(flipped(m, pick(m))))

    def test_reading_outside_the_window_is_found(self):
        m = median_networks.build(3, 2, 1, "separable")
        # Output (0, 0) reads pixel (3, 0), which only its neighbour's window holds.
        op = m.net.ops[first_op(m)]
        m.net.ops[first_op(m)] = (op[0], m.net.inputs[(3, 0)], op[2])
        self.assertIn("outside its window", network_checks.check_exhaustive(m))


class StaleHeaders(unittest.TestCase):
    def test_an_edited_header_is_reported(self):
        files = [("networks.h", "generated\n"), ("median_3x3_tile_4x2.h", "network\n")]
        with tempfile.TemporaryDirectory() as folder, \
                mock.patch.object(gen_tiled_network, "NETWORK_DIR", folder), \
                mock.patch.object(gen_tiled_network, "generated", return_value=files):
            for name, text in files:
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text)
            gen_tiled_network.compare()
            with open(os.path.join(folder, "networks.h"), "a") as f:
                f.write("// edited\n")
            with self.assertRaises(SystemExit) as stale:
                gen_tiled_network.compare()
            self.assertIn("networks.h", str(stale.exception.code))


if __name__ == "__main__":
    unittest.main()
