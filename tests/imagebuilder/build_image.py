#!/usr/bin/env python3
"""Builds a 32-bit PE image (exe or dll) with PDB and a link.exe-layout map, the way the
Microsoft compiler's /Gh switch would have built it, from C/C++ sources with clang-14 and
lld-link-14.

    build_image.py --name NAME --out DIR [--work DIR] [--dll] [--base HEX] [--icf]
                   [--no-penter] [--unframed DECORATED_NAME ...] [--include DIR ...]
                   [--define NAME[=VALUE] ...] [--jobs N] [--depfile FILE] [--keep-asm]
                   SOURCE...

Writes DIR/NAME.exe (or .dll), DIR/NAME.pdb and DIR/NAME.map. Intermediate files go to the
work folder (default DIR/work). A run whose inputs and outputs are unchanged since the last run
does nothing; a source whose content and flags are unchanged is not compiled again.

Every function of the sources begins with `call __penter` followed by the MSVC prologue
55 8B EC (push ebp; mov ebp, esp), except:
  --unframed NAME   the function keeps clang's 89 E5 encoding, so the call is followed by
                    55 89 E5 instead (NAME is the decorated name as the map shows it)
  --no-penter       no hook calls and no __penter stub at all
The stub object (entry point, __penter, operator new/delete, ...) is never hooked.
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
STUBS_SOURCE = os.path.normpath(os.path.join(HERE, "..", "data", "stubs", "crtstubs.cpp"))
STUBS_STEM = "crtstubs"
TARGET = "--target=i686-pc-windows-msvc"
HOOK_LINE = "\tcalll\t__penter\n"
MSVC_MOV_EBP_ESP = "\t.byte\t0x8b, 0xec\n"
# Bump when the produced images change for the same inputs, so caches are not trusted.
BUILDER_FORMAT = 3


class BuildError(Exception):
    pass


# ---------------------------------------------------------------- assembly rewriting

_LABEL_RE = re.compile(r'^(?:"([^"]+)"|([A-Za-z_.$?@][\w.$?@]*)):')
_DEF_RE = re.compile(r'^\s*\.def\s+(?:"([^"]+)"|([^;\s]+))\s*;')
_TYPE_FUNC_RE = re.compile(r"^\s*\.type\s+32\s*;")
_SCL_RE = re.compile(r"^\s*\.scl\s+(\d+)\s*;")
_MOV_EBP_ESP_RE = re.compile(r"^\s*movl\s+%esp,\s*%ebp\s*(#.*)?$")


def rewrite_assembly(text, hook, unframed):
    """Returns (new text, {function name: storage class}) for one clang assembly file.

    hook: insert `calll __penter` at each function's entry.
    unframed: names of functions whose `mov ebp, esp` keeps clang's encoding.
    """
    out = []
    functions = {}
    pending_def = None  # name of the last .def block, until its .endef
    pending_is_func = False
    pending_scl = 2
    current = None  # function whose body we are in
    awaiting_entry = False  # the hook of `current` is not placed yet
    mov_done = False

    for line in text.splitlines(keepends=True):
        stripped = line.strip()

        m = _DEF_RE.match(line)
        if m:
            pending_def = m.group(1) or m.group(2)
            pending_is_func = False
            pending_scl = 2
            out.append(line)
            continue
        if pending_def is not None:
            if _TYPE_FUNC_RE.match(line):
                pending_is_func = True
            sm = _SCL_RE.match(line)
            if sm:
                pending_scl = int(sm.group(1))
            if stripped.startswith(".endef"):
                if pending_is_func:
                    functions[pending_def] = pending_scl
                pending_def = None
            out.append(line)
            continue

        lm = _LABEL_RE.match(line)
        if lm:
            name = lm.group(1) or lm.group(2)
            if name in functions:
                current = name
                awaiting_entry = hook
                mov_done = False
                out.append(line)
                continue
            if awaiting_entry and not name.startswith("Lfunc_begin"):
                # A labelled first block: the hook still goes before it.
                out.append(HOOK_LINE)
                awaiting_entry = False
            out.append(line)
            continue

        if awaiting_entry:
            # Wait past the first line directive and the frame-data start so the line table
            # and the unwind data both cover the call; stop at the first block or instruction.
            is_block_comment = stripped.startswith("# %bb.")
            is_directive = stripped.startswith(".")
            if stripped == "" or (stripped.startswith("#") and not is_block_comment) or is_directive:
                out.append(line)
                continue
            out.append(HOOK_LINE)
            awaiting_entry = False

        if current is not None and not mov_done and _MOV_EBP_ESP_RE.match(line):
            mov_done = True
            if current not in unframed:
                out.append(MSVC_MOV_EBP_ESP)
                continue
        if stripped.startswith("# -- End function"):
            current = None
            awaiting_entry = False
        out.append(line)

    if awaiting_entry:
        raise BuildError("function %s has no body" % current)
    return "".join(out), functions


# ---------------------------------------------------------------- map rewriting

_MAP_SYMBOL_RE = re.compile(
    r"^ ([0-9a-fA-F]{4}):([0-9a-fA-F]{8})\s+(\S+)\s+([0-9a-fA-F]{8,16})\s+(\S.*?)\s*$")
_MAP_BASE_RE = re.compile(r"^ Preferred load address is ([0-9a-fA-F]+)\s*$")


def _symbol_line(section, offset, name, address, is_function, obj):
    # Name at column 21, padded to column 48 (a longer name pushes the address to one blank
    # after it), 8-digit Rva+Base, the function flag one blank after it, then the object.
    return " %04x:%08x       %-26s %08x %s   %s" % (
        section, offset, name, address, "f" if is_function else " ", obj)


def write_checksum(image):
    """What link.exe /RELEASE does and lld-link 14 cannot: the optional header's CheckSum, the
    16-bit one's-complement sum of the file's little-endian words (the field itself counted as
    zero) plus the file's size."""
    with open(image, "rb") as f:
        data = bytearray(f.read())
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64
    struct.pack_into("<I", data, field, 0)
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, field, (total + len(data)) & 0xFFFFFFFF)
    with open(image, "wb") as f:
        f.write(data)


def rewrite_map(lld_map, functions):
    """Turns lld-link's /map output into the Microsoft linker's layout, CR LF line ends."""
    base = None
    for line in lld_map.splitlines():
        m = _MAP_BASE_RE.match(line)
        if m:
            base = int(m.group(1), 16)
            break
    if base is None:
        raise BuildError("the linker's map states no load address")
    if base > 0xFFFFFFFF:
        raise BuildError("load address %x does not fit 32 bits" % base)

    out = []
    skip_blank = False
    for line in lld_map.splitlines():
        if skip_blank:
            skip_blank = False
            if line == "":
                continue
        if line.startswith(" Preferred load address is"):
            out.append(" Preferred load address is %08x" % base)
            continue
        if "Publics by Value" in line:
            out.append("  Address         Publics by Value              Rva+Base       Lib:Object")
            out.append("")
            out.append(_symbol_line(0, 0, "___ImageBase", base, False, "<linker-defined>"))
            skip_blank = True
            continue
        m = _MAP_SYMBOL_RE.match(line)
        if m:
            section, offset = int(m.group(1), 16), int(m.group(2), 16)
            name, address, obj = m.group(3), int(m.group(4), 16), m.group(5)
            if address > 0xFFFFFFFF:
                raise BuildError("address %x of %s does not fit 32 bits" % (address, name))
            is_function = name in functions and obj.endswith(".obj")
            out.append(_symbol_line(section, offset, name, address, is_function, obj))
            continue
        out.append(line.rstrip())
    return "\r\n".join(out) + "\r\n"


# ---------------------------------------------------------------- building


def _run(cmd):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if proc.returncode != 0:
        raise BuildError("command failed (%d): %s\n%s" % (proc.returncode, " ".join(cmd),
                                                           proc.stdout))


def _sha(data):
    return hashlib.sha256(data).hexdigest()


def _file_sha(path):
    with open(path, "rb") as f:
        return _sha(f.read())


def _read_json(path):
    try:
        with open(path, "r", encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def _object_stems(sources):
    stems, seen = [], {}
    for src in sources:
        stem = os.path.splitext(os.path.basename(src))[0]
        n = seen.get(stem, 0)
        seen[stem] = n + 1
        stems.append(stem if n == 0 else "%s_%d" % (stem, n + 1))
    return stems


class Unit:
    """One source file's way from C/C++ to an object file."""

    def __init__(self, source, stem, work, flags, hook):
        self.source = source
        self.stem = stem
        self.asm = os.path.join(work, stem + ".s")
        self.dep = os.path.join(work, stem + ".d")
        self.obj = os.path.join(work, stem + ".obj")
        self.info = os.path.join(work, stem + ".json")
        self.flags = flags
        self.hook = hook
        self.functions = {}
        self.deps = []


def _compile_flags(source, args):
    cpp = not source.endswith(".c")
    flags = [TARGET, "-S", "-g", "-gcodeview", "-O0", "-fno-omit-frame-pointer",
             "-fno-exceptions", "-fno-asynchronous-unwind-tables", "-Wall"]
    if cpp:
        flags += ["-std=c++17", "-fno-rtti", "-fno-threadsafe-statics"]
    if args.icf:
        flags.append("-ffunction-sections")
    for inc in [os.path.dirname(source)] + args.include:
        flags += ["-I", inc]
    for d in args.define:
        flags.append("-D" + d)
    return flags


def _compile_unit(unit, args, unframed):
    key = {
        "format": BUILDER_FORMAT,
        "flags": unit.flags,
        "hook": unit.hook,
        "unframed": sorted(unframed),
        "builder": _file_sha(os.path.abspath(__file__)),
    }
    old = _read_json(unit.info)
    if old and old.get("key") == key and os.path.exists(unit.obj):
        deps_ok = all(os.path.exists(p) and _file_sha(p) == h for p, h in old["deps"].items())
        if deps_ok:
            unit.functions = old["functions"]
            unit.deps = list(old["deps"].keys())
            return False

    raw = unit.asm + ".raw"
    _run([args.clang] + unit.flags + ["-MD", "-MF", unit.dep, "-MT", "x", unit.source,
                                      "-o", raw])
    with open(raw, "r", encoding="utf-8") as f:
        text, functions = rewrite_assembly(f.read(), unit.hook, unframed)
    with open(unit.asm, "w", encoding="utf-8") as f:
        f.write(text)
    os.remove(raw)
    _run([args.clang, TARGET, "-c", unit.asm, "-o", unit.obj])
    if not args.keep_asm:
        os.remove(unit.asm)  # large, and nothing reads it again
    unit.functions = functions
    unit.deps = _parse_depfile(unit.dep)
    with open(unit.info, "w", encoding="utf-8") as f:
        json.dump({"key": key, "functions": functions,
                   "deps": {p: _file_sha(p) for p in unit.deps}}, f)
    return True


def _parse_depfile(path):
    with open(path, "r", encoding="utf-8") as f:
        text = f.read().replace("\\\n", " ")
    _, _, rest = text.partition(":")
    deps = []
    token = ""
    i = 0
    while i < len(rest):
        c = rest[i]
        if c == "\\" and i + 1 < len(rest) and rest[i + 1] == " ":
            token += " "
            i += 2
            continue
        if c.isspace():
            if token:
                deps.append(os.path.abspath(token))
            token = ""
        else:
            token += c
        i += 1
    if token:
        deps.append(os.path.abspath(token))
    return deps


def _output_state(paths):
    state = {}
    for p in paths:
        try:
            st = os.stat(p)
        except OSError:
            return None
        state[p] = [st.st_size, st.st_mtime_ns]
    return state


def build(args):
    sources = [os.path.abspath(s) for s in args.sources]
    for s in sources:
        if not os.path.isfile(s):
            raise BuildError("no such source file: %s" % s)
    out = os.path.abspath(args.out)
    work = os.path.abspath(args.work or os.path.join(out, "work"))
    os.makedirs(out, exist_ok=True)
    os.makedirs(work, exist_ok=True)
    ext = "dll" if args.dll else "exe"
    image = os.path.join(out, "%s.%s" % (args.name, ext))
    pdb = os.path.join(out, args.name + ".pdb")
    map_path = os.path.join(out, args.name + ".map")
    outputs = [image, pdb, map_path]
    unframed = set(args.unframed)
    if args.no_penter and unframed:
        raise BuildError("--unframed needs the hook calls that --no-penter leaves out")

    stems = _object_stems(sources + [STUBS_SOURCE])
    units = [Unit(src, stem, work, _compile_flags(src, args), not args.no_penter)
             for src, stem in zip(sources, stems[:-1])]

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        changed = list(pool.map(lambda u: _compile_unit(u, args, unframed), units))

    all_functions = {}
    for u in units:
        all_functions.update(u.functions)
    missing = sorted(unframed - set(all_functions))
    if missing:
        raise BuildError("--unframed names no function of the sources: %s" % ", ".join(missing))

    stub_defines = []
    if not args.no_penter:
        stub_defines.append("TQT_STUB_PENTER")
    if args.dll:
        stub_defines.append("TQT_STUB_DLL")
    elif "_main" in all_functions:
        stub_defines.append("TQT_STUB_CALL_MAIN")
    stub_args = argparse.Namespace(**vars(args))
    stub_args.icf = False
    stub_args.include = []
    stub_args.define = stub_defines
    stub = Unit(STUBS_SOURCE, stems[-1], work, _compile_flags(STUBS_SOURCE, stub_args), False)
    changed.append(_compile_unit(stub, stub_args, set()))
    for name in stub.functions:
        all_functions.setdefault(name, 2)

    link = [args.lld_link, "/nologo", "/machine:x86", "/debug", "/nodefaultlib",
            "/incremental:no", "/opt:noref", "/out:" + image, "/pdb:" + pdb,
            "/map:" + os.path.join(work, args.name + ".lld.map")]
    if args.icf:
        link.append("/opt:icf")
    if args.dll:
        # The import library is of no use to the tests; keep it out of the image folder.
        link += ["/dll", "/implib:" + os.path.join(work, args.name + ".lib"),
                 "/entry:_DllMainCRTStartup@12"]
    else:
        link += ["/subsystem:console", "/entry:mainCRTStartup"]
    if args.base is not None:
        link.append("/base:0x%x" % args.base)
    link += [u.obj for u in units] + [stub.obj]

    stamp_path = os.path.join(work, args.name + ".stamp")
    link_key = {"link": link, "objects": {u.obj: _file_sha(u.obj) for u in units + [stub]},
                "format": BUILDER_FORMAT}
    stamp = _read_json(stamp_path)
    if (not any(changed) and stamp and stamp.get("key") == link_key
            and stamp.get("outputs") == _output_state(outputs)):
        _write_depfile(args, outputs, units + [stub])
        return False

    _run(link)
    if args.release:
        write_checksum(image)
    with open(os.path.join(work, args.name + ".lld.map"), "r", encoding="utf-8") as f:
        lld_map = f.read()
    text = rewrite_map(lld_map, all_functions)
    _write_if_changed(map_path, text.encode("latin-1"))
    # The map may be unchanged while the image is new: keep the outputs' times in step.
    os.utime(map_path)
    with open(stamp_path, "w", encoding="utf-8") as f:
        json.dump({"key": link_key, "outputs": _output_state(outputs)}, f)
    _write_depfile(args, outputs, units + [stub])
    return True


def _write_depfile(args, outputs, units):
    if not args.depfile:
        return
    deps = sorted({d for u in units for d in u.deps} | {os.path.abspath(__file__)})
    esc = lambda p: p.replace(" ", "\\ ")
    text = "%s: %s\n" % (esc(outputs[0]), " \\\n  ".join(esc(d) for d in deps))
    _write_if_changed(os.path.abspath(args.depfile), text.encode("utf-8"))


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--name", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--work")
    p.add_argument("--dll", action="store_true")
    p.add_argument("--base", type=lambda s: int(s, 16))
    p.add_argument("--icf", action="store_true")
    p.add_argument("--release", action="store_true")
    p.add_argument("--no-penter", action="store_true")
    p.add_argument("--unframed", action="append", default=[])
    p.add_argument("--include", action="append", default=[])
    p.add_argument("--define", action="append", default=[])
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--depfile")
    p.add_argument("--keep-asm", action="store_true", help="keep the rewritten assembly")
    p.add_argument("--clang", default=shutil.which("clang-14") or "clang-14")
    p.add_argument("--lld-link", default=shutil.which("lld-link-14") or "lld-link-14")
    p.add_argument("sources", nargs="+")
    args = p.parse_args(argv)
    if not re.match(r"^[A-Za-z0-9_.-]+$", args.name):
        p.error("--name must be a plain file name")
    if args.base is not None and (args.base <= 0 or args.base > 0xFFFFFFFF or args.base & 0xFFFF):
        p.error("--base must be a 64 KiB aligned 32-bit address")
    return args


def main(argv):
    args = parse_args(argv)
    try:
        build(args)
    except BuildError as e:
        print("build_image.py: %s: %s" % (args.name, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
