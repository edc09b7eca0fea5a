"""SASS text as nvdisasm -c prints it: instructions, their classes, the
registers they read and write, and the functions and labels they sit under."""
import re

# ---- instruction classes -----------------------------------------------------

CLASSES = ["minmax", "lop3", "int", "shift", "shared", "global", "cvt", "branch", "fp32", "other"]
CLASS_TITLES = {
    "minmax": "integer min/max", "lop3": "three-input logic", "int": "other integer ALU",
    "shift": "shift/funnel/permute", "shared": "shared loads/stores", "global": "global loads/stores",
    "cvt": "conversions", "branch": "branches/barriers", "fp32": "32-bit float", "other": "other",
}
OPCODE_CLASSES = {
    "minmax": {"IMNMX", "VIMNMX", "VIMNMX3", "VIADDMNMX"},
    "lop3": {"LOP3"},
    "int": {"IADD3", "IADD", "IMAD", "IMUL", "ISETP", "ICMP", "SEL", "LEA", "IABS", "VIADD", "POPC", "FLO",
            "BREV", "BMSK", "SGXT", "IDP", "ISCADD", "XMAD", "VABSDIFF", "VABSDIFF4", "IMNMX3"},
    "shift": {"SHF", "SHL", "SHR", "PRMT", "BFE", "BFI"},
    "shared": {"LDS", "STS", "LDSM", "ATOMS"},
    "global": {"LDG", "STG", "LD", "ST", "ATOMG", "ATOM", "RED", "LDGSTS"},
    "cvt": {"I2F", "F2I", "F2F", "I2I", "I2FP", "F2IP", "FRND"},
    "branch": {"BRA", "BRX", "JMP", "JMX", "CALL", "RET", "EXIT", "BAR", "BSSY", "BSYNC", "WARPSYNC", "BREAK",
               "KILL", "YIELD"},
    "fp32": {"FADD", "FMUL", "FFMA", "FSETP", "FMNMX", "FSEL", "FSET", "FCHK", "FSWZADD"},
}
CLASS_OF = {op: c for c, ops in OPCODE_CLASSES.items() for op in ops}
LOADS = {"LDG", "LD", "LDS", "LDSM", "LDL", "ATOMS", "ATOMG", "ATOM", "SHFL"}
NO_DEST = {"STG", "ST", "STS", "STL", "RED", "BRA", "BRX", "JMP", "JMX", "CALL", "RET", "EXIT", "BAR", "BSSY",
           "BSYNC", "WARPSYNC", "BREAK", "KILL", "YIELD", "NOP", "DEPBAR", "MEMBAR", "ERRBAR", "CCTL", "FENCE"}
SPILLS = {"LDL", "STL"}
# Every instruction is 16 bytes from sm_70 on.
INSTRUCTION_BYTES = 16


def opcode_root(opcode):
    return opcode.split(".")[0]


def class_of(opcode):
    root = opcode_root(opcode)
    # Uniform-datapath instructions run once per warp, on their own pipe.
    if root.startswith("U") or root in ("S2UR", "R2UR"):
        return "other"
    return CLASS_OF.get(root, "other")


INSTRUCTION = re.compile(r"/\*([0-9a-f]+)\*/\s+(.*?)\s*;")
LABEL = re.compile(r"^\s*(\.L_x_\d+):")
FUNCTION = re.compile(r"^\s*\.text\.(\S+):")
TARGET = re.compile(r"`\((\.L_x_\d+)\)")
# nvdisasm names the labels an indirect branch (a switch's jump table) can reach.
BRANCH_TARGETS = re.compile(r'BRANCH_TARGETS\s+([^"]*)"')
REGISTER = re.compile(r"(?<![\w.])(!?)(U?R\d+|U?P\d|URZ|RZ|PT|UPT)(\.64|\.128)?(?![\w])")
IMMEDIATE = re.compile(r"^-?(0x[0-9a-f]+|\d+)$")
PREDICATE = re.compile(r"!?U?P(\d|T)")


def immediate(text):
    if not IMMEDIATE.match(text):
        return None
    value = int(text, 16) if "0x" in text else int(text)
    return value - (1 << 32) if value >= 1 << 31 else value


def wrap(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


class Instruction:
    def __init__(self, offset, text, targets=None):
        self.offset = offset
        self.guard = None  # (register, negated)
        m = re.match(r"@(!?)(U?P\w+)\s+(.*)", text)
        if m:
            self.guard = (m.group(2), m.group(1) == "!")
            text = m.group(3)
        parts = text.split(None, 1)
        self.opcode = parts[0]
        self.root = opcode_root(self.opcode)
        self.operands = [o.strip() for o in parts[1].split(",")] if len(parts) > 1 else []
        target = TARGET.search(text)
        self.target = target.group(1) if target else None
        self.targets = targets or []  # an indirect branch's labels, as nvdisasm lists them
        # A call that does not return here (to a block that exits) is a jump.
        self.jump = self.root == "BRA" or self.opcode.startswith("CALL.REL.NOINC")
        # sm_100 and later: BRA.U UP0, target takes its condition as an operand.
        if self.jump and not self.guard and self.operands and (m := re.fullmatch(r"(!?)(U?P\d)", self.operands[0])):
            self.guard = (m.group(2), m.group(1) == "!")
        self.klass = class_of(self.opcode)
        self._effects = None

    def registers_of(self, operand):
        """Registers an operand names, pairs and quads expanded."""
        names = []
        for neg, name, width in REGISTER.findall(operand):
            if name in ("RZ", "URZ", "PT", "UPT"):
                continue
            names.append(name)
            count = {".64": 2, ".128": 4}.get(width, 1)
            m = re.match(r"(U?R)(\d+)$", name)
            if m and count > 1:
                names += [f"{m.group(1)}{int(m.group(2)) + i}" for i in range(1, count)]
        return names

    def dests_and_sources(self):
        if self._effects is None:
            self._effects = self._dests_and_sources()
        return self._effects

    def _dests_and_sources(self):
        ops = self.operands
        if self.root in NO_DEST or not ops:
            dests, sources = [], ops
        else:
            # The first operand, and the predicates right after it, are written.
            n = 1
            while n < len(ops) and re.fullmatch(r"U?P(\d|T)", ops[n]):
                n += 1
            # LOP3.LUT P, R, a, b, c, ...: the result and whether it is not zero
            if self.root in ("LOP3", "ULOP3") and re.fullmatch(r"U?P(\d|T)", ops[0]) and len(ops) > 5:
                n = 2
            dests, sources = ops[:n], ops[n:]
        written = [r for o in dests for r in self.registers_of(o)]
        width = re.search(r"\.(64|128)\b", self.opcode)
        wide = {"64": 2, "128": 4}.get(width.group(1), 1) if width else 1
        if self.root == "IMAD" and ".WIDE" in self.opcode:
            wide = 2
        if self.root == "CS2R" and ".32" not in self.opcode:
            wide = 2  # CS2R R, SRZ: a register pair set to zero
        if wide > 1 and written and (m := re.match(r"(U?R)(\d+)$", written[0])):
            written += [f"{m.group(1)}{int(m.group(2)) + i}" for i in range(1, wide)]
        read = [r for o in sources for r in self.registers_of(o)]
        if self.guard:
            read.append(self.guard[0])
        return written, read


def parse_sass(text):
    """{mangled name: (instructions, {label: index})} of nvdisasm -c output."""
    functions, current, pending = {}, None, []
    for line in text.splitlines():
        if m := FUNCTION.match(line):
            current = m.group(1)
            functions[current] = ([], {})
            pending = []
        elif current is None:
            continue
        elif m := LABEL.match(line):
            pending.append(m.group(1))
        elif m := INSTRUCTION.search(line):
            instructions, labels = functions[current]
            for label in pending:
                labels[label] = len(instructions)
            pending = []
            targets = BRANCH_TARGETS.search(line)
            targets = [t.strip() for t in targets.group(1).split(",")] if targets else None
            instructions.append(Instruction(int(m.group(1), 16), m.group(2), targets))
    return functions


def code_bytes(instructions):
    """The size of a function's code: its last instruction's end."""
    return instructions[-1].offset + INSTRUCTION_BYTES if instructions else 0
