#!/usr/bin/env python3
"""Inspects the kernel driver image zatac97.sys: one check per subcommand,
each a CTest test. Reads the PE file itself, the linker's map, and the import
libraries of the modules the driver may import from.

  inspect_image.py header   --image SYS --map MAP
  inspect_image.py imports  --image SYS --def DEF --lib ntoskrnl.exe=LIB --lib hal.dll=LIB --nm NM
  inspect_image.py runtime  --image SYS --map MAP --driver-lib LIB --nm NM
  inspect_image.py portcls-def --def DEF --probe OBJ --nm NM
  inspect_image.py init     --image SYS --objdump OBJDUMP
"""
import argparse
import re
import struct
import subprocess
import sys

IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
DIRECTORY_IMPORT, DIRECTORY_EXCEPTION, DIRECTORY_BASERELOC, DIRECTORY_TLS = 1, 3, 5, 9

ALLOWED_MODULES = ("portcls.sys", "ntoskrnl.exe", "hal.dll")

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


class Image:
    """The parts of a PE32 image the checks read."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            sys.exit(f"{path}: not an MZ image")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            sys.exit(f"{path}: no PE signature")
        (self.machine, count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        self.optional = pe + 24
        self.magic = struct.unpack_from("<H", self.data, self.optional)[0]
        if self.magic != 0x10B:
            sys.exit(f"{path}: not a PE32 image (magic {self.magic:#x})")
        o = self.optional
        self.entry_rva = struct.unpack_from("<I", self.data, o + 16)[0]
        self.image_base = struct.unpack_from("<I", self.data, o + 28)[0]
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", self.data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", self.data, o + 68)
        directory_count = struct.unpack_from("<I", self.data, o + 92)[0]
        self.directories = [struct.unpack_from("<II", self.data, o + 96 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = o + optional_size
        for i in range(count):
            h = table + 40 * i
            name = self.data[h:h + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, raw_size, raw_ptr = struct.unpack_from("<IIII", self.data, h + 8)
            flags = struct.unpack_from("<I", self.data, h + 36)[0]
            self.sections.append((name, rva, max(vsize, raw_size), raw_ptr, raw_size, flags))

    def section(self, name):
        return next((s for s in self.sections if s[0] == name), None)

    def section_of(self, rva):
        return next((s for s in self.sections if s[1] <= rva < s[1] + s[2]), None)

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s[1] >= s[4]:
            raise ValueError(f"RVA {rva:#x} lies in no section's file data")
        return s[3] + rva - s[1]

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{module: [(name or None for an ordinal)]} from the import directory."""
        rva, size = self.directories[DIRECTORY_IMPORT]
        result = {}
        at = self.offset(rva)
        while True:
            lookup, _, _, name_rva, address = struct.unpack_from("<IIIII", self.data, at)
            if name_rva == 0:
                break
            names = []
            thunk = self.offset(lookup or address)
            while True:
                entry = struct.unpack_from("<I", self.data, thunk)[0]
                if entry == 0:
                    break
                names.append(None if entry & 0x80000000 else self.cstring(entry + 2))
                thunk += 4
            result.setdefault(self.cstring(name_rva), []).extend(names)
            at += 20
        return result

    def computed_checksum(self):
        """The loader's image checksum: a folded 16-bit sum of the file with
        its CheckSum field taken as zero, plus the file's length."""
        data = self.data + (b"\0" if len(self.data) % 2 else b"")
        words = struct.unpack("<%dH" % (len(data) // 2), data)
        skipped = self.checksum_offset // 2
        total = sum(words) - words[skipped] - words[skipped + 1]
        while total > 0xFFFF:
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(self.data)


def map_symbol(map_text, symbol):
    """The address the linker map gives a defined symbol, or None."""
    found = re.search(r"^\s+0x([0-9a-f]+)\s+" + re.escape(symbol) + r"\s*$", map_text, re.M)
    return int(found.group(1), 16) if found else None


def undecorate(symbol):
    """_Name@8, @Name@8 and _Name -> Name: the export name an x86 import
    library's symbol stands for."""
    name = symbol[1:] if symbol[:1] in ("_", "@") else symbol
    return re.sub(r"@\d+$", "", name)


def nm_defined(nm, library):
    out = subprocess.run([nm, "--defined-only", library], capture_output=True, text=True, check=True).stdout
    return [line.split()[-1] for line in out.splitlines() if re.match(r"^[0-9a-f]+ [TDRB] ", line)]


def def_exports(path):
    """The decorated names a module-definition file exports."""
    names, in_exports = [], False
    for line in open(path):
        line = line.split(";", 1)[0].strip()
        if not line:
            continue
        if line.upper() == "EXPORTS":
            in_exports = True
        elif in_exports:
            names.append(line.split()[0])
    return names


# ---- checks -----------------------------------------------------------------------------------

def check_header(args):
    image = Image(args.image)
    map_text = open(args.map).read()
    check(image.machine == IMAGE_FILE_MACHINE_I386, f"machine is {image.machine:#x}, not i386")
    check(image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE, "not marked executable")
    check(not image.characteristics & IMAGE_FILE_DLL, "marked as a DLL")
    check(image.subsystem == IMAGE_SUBSYSTEM_NATIVE, f"subsystem {image.subsystem}, not native")
    check(image.dll_characteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER, "not marked as a WDM driver")
    check(image.checksum != 0 and image.checksum == image.computed_checksum(),
          f"checksum {image.checksum:#x}, the file sums to {image.computed_checksum():#x}")

    entry = map_symbol(map_text, "DriverEntry@8")
    if check(entry is not None, "the map has no DriverEntry@8"):
        check(image.image_base + image.entry_rva == entry,
              f"entry point {image.image_base + image.entry_rva:#x} is not DriverEntry ({entry:#x})")
        init = image.section("INIT")
        if check(init is not None, "no INIT section"):
            check(init[1] <= entry - image.image_base < init[1] + init[2], "DriverEntry is not in INIT")
            check(init[5] & IMAGE_SCN_MEM_DISCARDABLE, "INIT is not discardable")
    page = image.section("PAGE")
    if check(page is not None, "no PAGE section"):
        check(page[5] & IMAGE_SCN_MEM_EXECUTE and not page[5] & IMAGE_SCN_MEM_DISCARDABLE,
              "PAGE is not kept, executable code")
        add_device = map_symbol(map_text, "AddDevice(_DRIVER_OBJECT*, _DEVICE_OBJECT*)@8")
        check(add_device is not None and page[1] <= add_device - image.image_base < page[1] + page[2],
              "AddDevice, pageable start-up code, is not in PAGE")
    for name, _, _, _, _, flags in image.sections:
        check(not (flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE),
              f"section {name} is writable and executable")

    relocations = image.directories[DIRECTORY_BASERELOC]
    check(relocations[1] > 0, "no base relocations: the loader could not move the image")
    check(image.directories[DIRECTORY_TLS][1] == 0, "a TLS directory: kernel images have no TLS")
    check(image.directories[DIRECTORY_EXCEPTION][1] == 0, "an exception directory")
    for unwanted in (".eh_frame", ".tls", ".pdata", ".CRT"):
        check(image.section(unwanted) is None, f"a {unwanted} section")


def check_imports(args):
    image = Image(args.image)
    exported = {"portcls.sys": {undecorate(n) for n in def_exports(args.def_file)}}
    for pair in args.lib:
        module, library = pair.split("=", 1)
        exported[module.lower()] = {undecorate(s) for s in nm_defined(args.nm, library)
                                    if not s.startswith("__imp_") and not s.startswith("_head_")}
    imports = image.imports()
    check(imports, "the image imports nothing")
    for module, names in imports.items():
        if not check(module.lower() in ALLOWED_MODULES, f"imports from {module}"):
            continue
        for name in names:
            if check(name is not None, f"imports by ordinal from {module}"):
                check(name in exported[module.lower()], f"{module} exports no {name}")
    check("portcls.sys" in {m.lower() for m in imports}, "nothing imported from portcls.sys")
    check("ntoskrnl.exe" in {m.lower() for m in imports}, "nothing imported from ntoskrnl.exe")


# The compiler's own arithmetic helpers are all a kernel image may take from libgcc.
LIBGCC_ALLOWED = re.compile(r"^_(u?divdi3|u?moddi3|u?divmoddi4|ashldi3|ashrdi3|lshrdi3|muldi3)\.o$")
ALLOWED_ARCHIVES = ("objects.a", "libzatac97_driver.a", "libportcls.a", "libntoskrnl.a", "libhal.a",
                    "libksguid.a", "libgcc.a")
# Names only a C or C++ runtime defines, or only a runtime start-up would process.
RUNTIME_SYMBOLS = re.compile(r"^(__cxa_(?!pure_virtual$)|_Unwind_|__gxx_personality|__gcc_personality|std::"
                             r"|operator new|__mingw|_pei386|_+chkstk|atexit$|_onexit$|_+main$|_+CRT)")


def check_runtime(args):
    map_text = open(args.map).read()
    head = re.split(r"^(?:Discarded input sections|Memory Configuration)$", map_text, maxsplit=1, flags=re.M)[0]
    members = re.findall(r"^(\S+\.a)\(([^)]+)\)", head, re.M)
    check(members, "the map lists no archive members")
    for archive, member in members:
        base = archive.rsplit("/", 1)[-1]
        if check(base in ALLOWED_ARCHIVES, f"linked {member} from {archive}") and base == "libgcc.a":
            check(LIBGCC_ALLOWED.search(member), f"libgcc member {member} is more than arithmetic")

    linked = map_text.split("Linker script and memory map", 1)[-1]
    for symbol in re.findall(r"^\s+0x[0-9a-f]+\s+([^=\s][^=]*?)\s*$", linked, re.M):
        check(not RUNTIME_SYMBOLS.search(symbol), f"runtime symbol in the image: {symbol}")
    for size, origin in re.findall(r"^ \.(?:ctors|dtors|init_array|fini_array|tls)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)"
                                   r" (.+)$", linked, re.M):
        check(int(size, 16) == 0, f"static constructor or TLS data from {origin}: no kernel image runs it")
    pseudo = re.search(r"^\s+0x([0-9a-f]+)\s+__rt_psrelocs_size = ", linked, re.M)
    check(pseudo is None or int(pseudo.group(1), 16) == 0, "runtime pseudo-relocations: nothing applies them")

    out = subprocess.run([args.nm, args.driver_lib], capture_output=True, text=True, check=True).stdout
    current = None
    for line in out.splitlines():
        if line.endswith(":"):
            current = line[:-1]
        elif re.search(r" __GLOBAL__sub_I_| \.ctors$| \.init_array", line):
            check(False, f"{current} has a dynamic initialiser ({line.split()[-1]}); tables must be constant data")


def check_init(args):
    """INIT is freed once DriverEntry returns: nothing else may point or jump into it."""
    image = Image(args.image)
    init = image.section("INIT")
    if not check(init is not None, "no INIT section"):
        return
    low, high = image.image_base + init[1], image.image_base + init[1] + init[2]
    outside = lambda rva: not init[1] <= rva < init[1] + init[2]

    rva, size = image.directories[DIRECTORY_BASERELOC]
    at, end = image.offset(rva), image.offset(rva) + size
    while at < end:
        page, block = struct.unpack_from("<II", image.data, at)
        if block < 8:
            break
        for (entry,) in struct.iter_unpack("<H", image.data[at + 8:at + block]):
            if entry >> 12 != 3:  # IMAGE_REL_BASED_HIGHLOW; 0 is padding
                check(entry >> 12 == 0, f"relocation type {entry >> 12} at {page + (entry & 0xFFF):#x}")
                continue
            where = page + (entry & 0xFFF)
            target = struct.unpack_from("<I", image.data, image.offset(where))[0]
            check(not (outside(where) and low <= target < high),
                  f"{image.section_of(where)[0]}+{where - image.section_of(where)[1]:#x} holds a pointer into INIT")
        at += block

    out = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", args.image],
                         capture_output=True, text=True, check=True).stdout
    section = None
    for line in out.splitlines():
        header = re.match(r"^Disassembly of section (\S+):", line)
        if header:
            section = header.group(1)
            continue
        branch = re.match(r"^\s*([0-9a-f]+):\s+(call|j[a-z]+)\s+([0-9a-f]+)\b", line)
        if branch and section != "INIT" and low <= int(branch.group(3), 16) < high:
            check(False, f"{section} at {branch.group(1)} {branch.group(2)}s into INIT")


def check_portcls_def(args):
    listed = sorted(def_exports(args.def_file))
    out = subprocess.run([args.nm, "--undefined-only", args.probe], capture_output=True, text=True, check=True).stdout
    undefined = (line.split()[-1] for line in out.splitlines())
    declared = sorted({s.removeprefix("__imp_")[1:] for s in undefined if s.removeprefix("__imp_").startswith("_Pc")})
    check(len(listed) == len(set(listed)), "the module-definition file lists a name twice")
    for name in sorted(set(listed) - set(declared)):
        check(False, f"{name}: the published portcls.h declares it otherwise")
    for name in sorted(set(declared) - set(listed)):
        check(False, f"{name}: referenced by the probe but missing from the module-definition file")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="check", required=True)
    p = sub.add_parser("header")
    p.add_argument("--image", required=True)
    p.add_argument("--map", required=True)
    p = sub.add_parser("imports")
    p.add_argument("--image", required=True)
    p.add_argument("--def", dest="def_file", required=True)
    p.add_argument("--lib", action="append", default=[])
    p.add_argument("--nm", required=True)
    p = sub.add_parser("runtime")
    p.add_argument("--map", required=True)
    p.add_argument("--driver-lib", required=True)
    p.add_argument("--nm", required=True)
    p = sub.add_parser("init")
    p.add_argument("--image", required=True)
    p.add_argument("--objdump", required=True)
    p = sub.add_parser("portcls-def")
    p.add_argument("--def", dest="def_file", required=True)
    p.add_argument("--probe", required=True)
    p.add_argument("--nm", required=True)
    args = parser.parse_args()
    {"header": check_header, "imports": check_imports, "runtime": check_runtime,
     "portcls-def": check_portcls_def, "init": check_init}[args.check](args)
    for failure in failures:
        print(f"FAIL {args.check}: {failure}")
    if failures:
        return 1
    print(f"ok {args.check}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
