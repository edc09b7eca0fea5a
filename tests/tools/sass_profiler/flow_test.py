"""SASS text to blocks: an indirect branch goes where nvdisasm says it can,
so a switch makes no cycle (the library's border-mode switch on sm_100)."""
import unittest

import compiled  # noqa: F401  (the path to tools/)
from sass_profiler.counting import analyse
from sass_profiler.flow import build_blocks
from sass_profiler.parse import code_bytes, parse_sass

SWITCH = """
        .text._Z1kPi:
        /*0000*/                   LDC R2, c[0x2][R0] ;
        /*0010*/                   BRX R2 -0x20                     (*"BRANCH_TARGETS .L_x_1,.L_x_2"*);
.L_x_1:
        /*0020*/                   IADD3 R3, R3, 0x1, RZ ;
        /*0030*/                   BRA `(.L_x_3) ;
.L_x_2:
        /*0040*/                   IADD3 R3, R3, 0x2, RZ ;
        /*0050*/                   IADD3 R3, R3, 0x3, RZ ;
.L_x_3:
        /*0060*/                   EXIT ;
"""


class Flow(unittest.TestCase):
    def test_a_switch_reaches_its_named_targets_only(self):
        instructions, labels = parse_sass(SWITCH)["_Z1kPi"]
        blocks = build_blocks(instructions, labels)
        self.assertEqual(blocks[0].succs, [1, 2])
        self.assertEqual(code_bytes(instructions), 0x70)
        cost, loops, _, _ = analyse(instructions, labels)
        self.assertEqual(loops, [])
        # Each class at its larger case (two adds, one jump), EXIT and the two before.
        self.assertEqual(cost.total(), (6, 6))
