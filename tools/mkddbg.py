#!/usr/bin/env python3
"""Writes the packed debug information ("DDBG", version 1) of a linked 32-bit module.

Reads the module's DWARF line table (objdump --dwarf=decodedline) and its code symbols (nm),
and writes either a ".ddbg" file beside the module or, with --section, a "DGNDEBUG" section
into the module itself. Build-time tool only; it ships with nothing.

Usage: mkddbg.py [--objdump PATH] [--nm PATH] [--cxxfilt PATH] [--objcopy PATH]
                 [--section] [--output PATH] module
"""
import argparse
import bisect
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

SIGNATURE = 0x47424444  # "DDBG"
VERSION = 1
HEADER_SIZE = 34
END_OF_TABLE = 0x7FFFFFFF
NAME_MASK = 0xB7  # must match the reader
SECTION_NAME = "DGNDEBUG"
CODE_OFFSET = 0x1000  # relative addresses count from the first section


# ---- reading the module -------------------------------------------------------------------

class PeImage:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read(4096)
        if data[:2] != b"MZ":
            raise SystemExit("%s: not a PE image" % path)
        nt = struct.unpack_from("<I", data, 60)[0]
        if data[nt:nt + 4] != b"PE\0\0":
            raise SystemExit("%s: not a PE image" % path)
        machine, nsections = struct.unpack_from("<HH", data, nt + 4)
        if machine != 0x14C:
            raise SystemExit("%s: not a 32-bit image" % path)
        opt_size = struct.unpack_from("<H", data, nt + 20)[0]
        opt = nt + 24
        self.image_base = struct.unpack_from("<I", data, opt + 28)[0]
        self.section_alignment = struct.unpack_from("<I", data, opt + 32)[0]
        self.sections = []
        pos = opt + opt_size
        for _ in range(nsections):
            raw_name = data[pos:pos + 8].rstrip(b"\0").decode("latin-1")
            vsize, vaddr, rawsize = struct.unpack_from("<III", data, pos + 8)
            chars = struct.unpack_from("<I", data, pos + 36)[0]
            self.sections.append((raw_name, vaddr, max(vsize, rawsize), chars))
            pos += 40

    def code_ranges(self):
        """Relative ranges [start, end) of the executable sections."""
        return [(va - CODE_OFFSET, va + size - CODE_OFFSET)
                for (_, va, size, chars) in self.sections if chars & 0x20000020]

    def end_of_image(self):
        end = max(va + size for (_, va, size, _) in self.sections)
        align = self.section_alignment or 0x1000
        return (end + align - 1) // align * align

    def has_section(self, name):
        return any(n == name for (n, _, _, _) in self.sections)


def run(cmd, stdin=None):
    res = subprocess.run(cmd, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, errors="replace")
    if res.returncode != 0:
        raise SystemExit("%s failed: %s" % (cmd[0], res.stderr.strip()))
    return res.stdout


ROW = re.compile(r"^(.*?)\s+(\d+|-)\s+(0x[0-9a-fA-F]+)(?:\s+\d+)?(?:\s+x)?\s*$")


def read_line_sequences(objdump, module, image_base):
    """Sequences of (unit, [(relative address, line, source name)], end address)."""
    lines = run([objdump, "-w", "--dwarf=decodedline", module]).splitlines()
    sequences = []
    unit = None
    rows = []
    for i, text in enumerate(lines):
        if not text or text.startswith("File name") or text.startswith("Contents of"):
            continue
        if text.endswith(":") and not ROW.match(text):
            nxt = lines[i + 1] if i + 1 < len(lines) else ""
            if nxt.startswith("File name") or text.startswith("CU: "):
                name = text[4:] if text.startswith("CU: ") else text
                unit = unit_name(name[:-1])
                rows = []
            continue
        m = ROW.match(text)
        if not m or unit is None:
            continue
        source, line, addr = m.group(1).strip(), m.group(2), int(m.group(3), 16)
        rel = (addr - image_base - CODE_OFFSET) & 0xFFFFFFFF
        if line == "-":
            if rows:
                sequences.append((unit, rows, rel))
            rows = []
        else:
            rows.append((rel, int(line), os.path.basename(source.replace("\\", "/"))))
    return sequences


def unit_name(path):
    base = os.path.basename(path.replace("\\", "/"))
    return os.path.splitext(base)[0]


# ---- procedure names ------------------------------------------------------------------------

def strip_params(name):
    """Drops a demangled name's parameter list, qualifiers and clone suffixes."""
    name = re.sub(r"( \[clone [^\]]*\])+$", "", name)
    name = name.replace("(anonymous namespace)::", "")
    name = re.sub(r"(\s*(const|volatile|&&|&|noexcept))+$", "", name)
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            c = name[i]
            if c == ")":
                depth += 1
            elif c == "(":
                depth -= 1
                if depth == 0:
                    name = name[:i]
                    break
    # A template function's demangled name starts with its return type.
    depth = 0
    cut = -1
    for i, c in enumerate(name):
        if c in "<(":
            depth += 1
        elif c in ">)":
            depth -= 1
        elif c == " " and depth == 0 and not name[:i].endswith("operator"):
            cut = i
    if cut >= 0 and "operator" not in name[cut:cut + 9]:
        name = name[cut + 1:]
    return name


def split_scope(name):
    """'a::b::C::M' -> ('a::b::C', 'M'); names without scope -> (name, '')."""
    depth = 0
    last = -1
    i = 0
    while i < len(name):
        c = name[i]
        if c in "<(":
            depth += 1
        elif c in ">)":
            depth = max(0, depth - 1)
        elif c == ":" and depth == 0 and name[i:i + 2] == "::":
            last = i
            i += 1
        i += 1
    if last <= 0:
        return name, ""
    return name[:last], name[last + 2:]


def read_procedures(nm, cxxfilt, module, image_base):
    out = run([nm, "--defined-only", module])
    syms = []
    for text in out.splitlines():
        parts = text.split(None, 2)
        if len(parts) != 3 or parts[1] not in "TtWw" or parts[2].startswith("."):
            continue
        syms.append((int(parts[0], 16), parts[2]))
    mangled = [s for (_, s) in syms if s.startswith("__Z")]
    demangled = {}
    if mangled:
        res = run([cxxfilt], "\n".join(mangled) + "\n").splitlines()
        demangled = dict(zip(mangled, res))
    procs = {}
    for addr, raw in syms:
        if raw in demangled:
            name = strip_params(demangled[raw])
        else:
            name = re.sub(r"@\d+$", "", raw[1:] if raw.startswith("_") else raw)
        rel = (addr - image_base - CODE_OFFSET) & 0xFFFFFFFF
        if name and rel not in procs:
            procs[rel] = split_scope(name)
    return sorted(procs.items())


# ---- building the tables --------------------------------------------------------------------

def within(ranges, start, end):
    return any(a <= start and end <= b for (a, b) in ranges)


def covered_by(sorted_ranges, starts, address):
    i = bisect.bisect_right(starts, address) - 1
    return i >= 0 and address < sorted_ranges[i][1]


def build_tables(sequences, procedures, code_ranges):
    seqs = sorted((s for s in sequences
                   if s[1] and s[1][0][0] < s[2] and within(code_ranges, s[1][0][0], s[2])),
                  key=lambda s: s[1][0][0])
    symbols = [rel for (rel, _) in procedures]

    def gap_has_code(start, end):
        # Alignment padding between two sequences belongs to the one before; a symbol in the
        # gap is code without line information, which must stay outside every unit.
        i = bisect.bisect_left(symbols, start)
        return i < len(symbols) and symbols[i] < end

    units, sources, lines, covered = [], [], [], []
    last_end = 0
    for unit, rows, end in seqs:
        start = rows[0][0]
        if start < last_end:
            continue  # overlaps a sequence already taken (folded duplicate code)
        gap = bool(units) and start > last_end and gap_has_code(last_end, start)
        if gap:
            units.append((last_end, ""))
            sources.append((last_end, ""))
        if not units or units[-1][1] != unit or gap:
            units.append((start, unit))
        cur_source = sources[-1][1] if sources and not gap else None
        by_addr = {}
        for rel, line, source in rows:
            if source != cur_source:
                sources.append((rel, source))
                cur_source = source
            if line > 0:
                by_addr[rel] = line  # the last row at an address is the one that holds
        lines.extend(sorted(by_addr.items()))
        if covered and not gap and covered[-1][1] <= start:
            covered[-1] = (covered[-1][0], end)
        else:
            covered.append((start, end))
        last_end = end
    if units:
        units.append((last_end, ""))
        sources.append((last_end, ""))
    starts = [a for (a, _) in covered]
    procs = [(rel, names) for (rel, names) in procedures if covered_by(covered, starts, rel)]
    return units, sources, procs, lines


class NameArea:
    def __init__(self):
        self.data = bytearray()
        self.refs = {}

    def ref(self, name):
        if not name:
            return 0
        if name not in self.refs:
            self.refs[name] = len(self.data) + 1
            self.data += encode_name(name)
        return self.refs[name]


SIX_BIT = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_"


def encode_name(name):
    body = name[1:] if name.startswith("@") else name
    if 0 < len(body) <= 255 and all(c in SIX_BIT for c in body):
        codes = [SIX_BIT.index(c) + 1 for c in body] + [0]
        while len(codes) % 4:
            codes.append(0)
        packed = bytearray()
        for i in range(0, len(codes), 4):
            a, b, c, d = codes[i:i + 4]
            packed += bytes([(a | (b << 6)) & 0xFF, ((b >> 2) | (c << 4)) & 0xFF,
                             ((c >> 4) | (d << 2)) & 0xFF])
        if name.startswith("@"):
            return b"\x02" + bytes(packed)
        if packed[0] not in (1, 2):
            return bytes(packed)
    raw = name.encode("utf-8")
    return b"\x01" + bytes(b if b == NAME_MASK else b ^ NAME_MASK for b in raw) + b"\0"


def pack(value):
    value &= 0xFFFFFFFF
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def encode_table(entries):
    out = bytearray()
    totals = None
    for entry in entries:
        if totals is None:
            totals = [0] * len(entry)
        for i, value in enumerate(entry):
            step = (value - totals[i]) & 0xFFFFFFFF
            if step == END_OF_TABLE:
                raise SystemExit("table step collides with the end marker")
            out += pack(step)
            totals[i] = value & 0xFFFFFFFF
    return bytes(out + pack(END_OF_TABLE))


def build_data(module_name, units, sources, procs, lines):
    names = NameArea()
    unit_tab = encode_table([(a, names.ref(n)) for (a, n) in units])
    source_tab = encode_table([(a, names.ref(n)) for (a, n) in sources])
    proc_tab = encode_table([(a, names.ref(f), names.ref(s)) for (a, (f, s)) in procs])
    line_tab = encode_table(lines)
    module_ref = names.ref(module_name)
    offsets = []
    pos = HEADER_SIZE
    for part in (unit_tab, source_tab, proc_tab, line_tab, names.data):
        offsets.append(pos)
        pos += len(part)
    header = struct.pack("<IB5IIIB", SIGNATURE, VERSION, *offsets, module_ref, 0, 1)
    data = bytearray(header + unit_tab + source_tab + proc_tab + line_tab + names.data)
    while len(data) % 4:
        data.append(0)
    checksum = sum(struct.unpack_from("<%dI" % (len(data) // 4), data)) & 0xFFFFFFFF
    struct.pack_into("<I", data, 29, checksum)
    assert checksum_valid(data)
    return bytes(data)


def checksum_valid(data):
    expected = struct.unpack_from("<I", data, 29)[0]
    total = (-expected) & 0xFFFFFFFF
    for (word,) in struct.iter_unpack("<I", data):
        total = (total + word) & 0xFFFFFFFF
    total = ((total >> 8) | (total << 24)) & 0xFFFFFFFF
    return total == expected


# ---- writing --------------------------------------------------------------------------------

def add_section(objcopy, module, output, data):
    image = PeImage(module)
    if image.has_section(SECTION_NAME):
        raise SystemExit("%s already has a %s section" % (module, SECTION_NAME))
    address = image.image_base + image.end_of_image()
    fd, blob = tempfile.mkstemp(suffix=".ddbg")
    os.close(fd)
    tmp_out = output + ".tmp"
    try:
        with open(blob, "wb") as f:
            f.write(data)
        run([objcopy, "--add-section", "%s=%s" % (SECTION_NAME, blob),
             "--set-section-flags", "%s=contents,alloc,load,readonly,data" % SECTION_NAME,
             "--change-section-address", "%s=0x%X" % (SECTION_NAME, address),
             module, tmp_out])
        os.replace(tmp_out, output)
    finally:
        os.unlink(blob)
        if os.path.exists(tmp_out):
            os.unlink(tmp_out)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("module")
    p.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    p.add_argument("--nm", default="i686-w64-mingw32-nm")
    p.add_argument("--cxxfilt", default="i686-w64-mingw32-c++filt")
    p.add_argument("--objcopy", default="i686-w64-mingw32-objcopy")
    p.add_argument("--section", action="store_true",
                   help="put the data into a DGNDEBUG section instead of a .ddbg file")
    p.add_argument("--output", help="module copy with the section (--section), or .ddbg path")
    args = p.parse_args(argv)

    module = args.module
    image = PeImage(module)
    sequences = read_line_sequences(args.objdump, module, image.image_base)
    procedures = read_procedures(args.nm, args.cxxfilt, module, image.image_base)
    tables = build_tables(sequences, procedures, image.code_ranges())
    out_name = os.path.splitext(os.path.basename(args.output or module))[0]
    if not args.section:
        out_name = os.path.splitext(os.path.basename(module))[0]
    data = build_data(out_name, *tables)
    if args.section:
        add_section(args.objcopy, module, args.output or module, data)
    else:
        target = args.output or os.path.splitext(module)[0] + ".ddbg"
        with open(target + ".tmp", "wb") as f:
            f.write(data)
        os.replace(target + ".tmp", target)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
