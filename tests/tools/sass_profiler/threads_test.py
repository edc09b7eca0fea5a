"""The nominal launch and the evaluation of integer instructions."""
import unittest

import compiled  # noqa: F401  (the path to tools/)
from sass_profiler.threads import (NOMINAL_HEIGHT, NOMINAL_WIDTH, _permute, nominal_launch,
                                   parameter_offsets)

# The library's argument struct (median_core::image_args<unsigned char>) as
# median_suite list --json describes it.
IMAGE_ARGS = [{"name": "src", "offset": 0, "size": 8}, {"name": "src_pitch", "offset": 8, "size": 8},
              {"name": "dst", "offset": 16, "size": 8}, {"name": "dst_pitch", "offset": 24, "size": 8},
              {"name": "width", "offset": 32, "size": 4}, {"name": "height", "offset": 36, "size": 4},
              {"name": "mode", "offset": 40, "size": 4}, {"name": "constant", "offset": 44, "size": 1}]


class Evaluation(unittest.TestCase):
    def test_byte_permute_selects_and_sign_extends(self):
        self.assertEqual(_permute(0x44332211, 0x3210, 0x88776655), 0x44332211)
        self.assertEqual(_permute(0x44332211, 0x7654, 0x88776655), 0x88776655)
        self.assertEqual(_permute(0x000080ff, 0x9910, 0), 0xFFFF80FF)  # low half, sign-extended

    def test_parameter_offsets_align_pointers_and_ints(self):
        self.assertEqual(parameter_offsets("_Z27median_kernel_tiled_networkPKhPhii"), ([16, 20], [0, 8]))
        self.assertEqual(parameter_offsets("_Z1kiPhi"), ([0, 16], [8]))
        self.assertEqual(parameter_offsets("_Z1kPhf"), ([], []))  # a float: no nominal value
        self.assertEqual(parameter_offsets("_Z1kPhi6border"), ([], []))  # a named type

    def test_argument_struct_gets_the_nominal_image(self):
        kernel = {"name": "k", "block": [32, 8], "span": [128, 32], "library": True, "type": "u16", "channels": 4,
                  "args_struct": IMAGE_ARGS}
        bank = nominal_launch(kernel, 90, "_Z1kN1n1aE")["bank"]
        params = 0x210
        pitch = NOMINAL_WIDTH * 4 * 2
        self.assertEqual([bank[params + at] for at in (8, 12, 24, 32, 36, 40, 44)],
                         [pitch, 0, pitch, NOMINAL_WIDTH, NOMINAL_HEIGHT, 0, 0])
        self.assertNotEqual(bank[params + 0] | bank[params + 4] << 32, bank[params + 16] | bank[params + 20] << 32)
        self.assertEqual((bank[0xC], bank[0x10]), (NOMINAL_WIDTH // 128, -(-NOMINAL_HEIGHT // 32)))
