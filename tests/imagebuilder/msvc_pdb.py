#!/usr/bin/env python3
"""Gives a test image's program database the shapes that Microsoft's linker writes and
lld-link does not, and writes the image beside it under a new name.

    msvc_pdb.py --from DIR/NAME.exe --name NEW --out OUTDIR [--fastlink] [--stale N]
                [--buckets N]

Writes OUTDIR/NEW.exe (the image, its CodeView record naming "NEW.pdb", found beside it),
OUTDIR/NEW.pdb and OUTDIR/NEW.map (the map, unchanged):
  --fastlink  the publics and globals hashes with 0x3FFFF + 1 buckets (a 32,768-byte bucket
              bitmap instead of 516 bytes), and the "minimal debug info" feature in the info
              stream, as /DEBUG:FASTLINK writes them
  --stale N   N S_PUB32 records appended to the symbol record stream that no hash record points
              to, as /INCREMENTAL leaves them: first a `__penter` at another address, then
              twins of live functions at other addresses (`_main` several times at one), then
              functions of earlier links; the DBI header says "incrementally linked"
  --buckets N rebuild both hashes with N buckets (4096 reproduces lld-link's streams)
The GUID and age stay, so the image and the new PDB still belong together. The MSF container
is written afresh: superblock, two free-block maps per interval, streams, directory.
"""

import argparse
import os
import shutil
import struct
import sys

MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
NIL_STREAM = 0xFFFFFFFF
GSI_SIGNATURE = 0xFFFFFFFF
GSI_VERSION = 0xEFFE0000 + 19990810
USUAL_BUCKETS = 4096
FASTLINK_BUCKETS = 0x3FFFF
FEATURE_MINIMAL_DEBUG_INFO = 0x494E494D
S_PUB32 = 0x110E
PUBLIC_FUNCTION = 2
HR_IN_MEMORY = 12  # a bucket names its first record by its offset in 12-byte units


class PdbError(Exception):
    pass


def u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


# ---------------------------------------------------------------- MSF container


def read_msf(data):
    """The streams of an MSF file (None for a nil stream) and its block size."""
    if data[:len(MAGIC)] != MAGIC:
        raise PdbError("not an MSF 7.00 file")
    bs, _fpm, nblocks, dir_bytes, _unknown, map_addr = struct.unpack_from("<6I", data, 32)
    if bs not in (512, 1024, 2048, 4096) or len(data) < nblocks * bs:
        raise PdbError("bad superblock")

    def block(i):
        if i >= nblocks:
            raise PdbError("block %d past the end" % i)
        return data[i * bs:(i + 1) * bs]

    ndir = (dir_bytes + bs - 1) // bs
    dir_blocks = struct.unpack_from("<%dI" % ndir, block(map_addr))
    directory = b"".join(block(i) for i in dir_blocks)[:dir_bytes]
    count = u32(directory, 0)
    sizes = struct.unpack_from("<%dI" % count, directory, 4)
    at = 4 + 4 * count
    streams = []
    for size in sizes:
        if size == NIL_STREAM:
            streams.append(None)
            continue
        n = (size + bs - 1) // bs
        blocks = struct.unpack_from("<%dI" % n, directory, at)
        at += 4 * n
        streams.append(b"".join(block(i) for i in blocks)[:size])
    return streams, bs


def write_msf(streams, bs=4096):
    """An MSF file holding the streams. Blocks 1 and 2 of every interval of bs blocks hold the
    two free-block maps; the directory and the block that lists its blocks come last."""
    next_block = [3]

    def allocate(n):
        got = []
        while len(got) < n:
            b = next_block[0]
            next_block[0] += 1
            if b % bs not in (1, 2):
                got.append(b)
        return got

    placed = []  # (block, bytes)
    directory = struct.pack("<I", len(streams))
    directory += b"".join(struct.pack("<I", NIL_STREAM if s is None else len(s))
                          for s in streams)
    for s in streams:
        if not s:
            continue
        blocks = allocate((len(s) + bs - 1) // bs)
        directory += struct.pack("<%dI" % len(blocks), *blocks)
        placed += [(b, s[i * bs:(i + 1) * bs]) for i, b in enumerate(blocks)]
    dir_blocks = allocate((len(directory) + bs - 1) // bs)
    if len(dir_blocks) * 4 > bs:
        raise PdbError("directory too large for one block map block")
    placed += [(b, directory[i * bs:(i + 1) * bs]) for i, b in enumerate(dir_blocks)]
    map_block = allocate(1)[0]
    placed.append((map_block, struct.pack("<%dI" % len(dir_blocks), *dir_blocks)))

    nblocks = next_block[0]
    last_interval = (nblocks - 1) // bs
    nblocks = max(nblocks, last_interval * bs + 3)  # every interval keeps its maps
    # Bit set: block free. The maps of all intervals together form one bitmap.
    used = bytearray(b"\xff" * ((last_interval + 1) * bs))
    for b in range(nblocks):
        used[b // 8] &= ~(1 << (b % 8)) & 0xFF
    out = bytearray(nblocks * bs)
    header = MAGIC + struct.pack("<6I", bs, 1, nblocks, len(directory), 0, map_block)
    out[:len(header)] = header
    for interval in range(last_interval + 1):
        fpm = used[interval * bs:(interval + 1) * bs]
        for which in (1, 2):
            b = interval * bs + which
            out[b * bs:(b + 1) * bs] = fpm
    for b, chunk in placed:
        out[b * bs:b * bs + len(chunk)] = chunk
    return bytes(out)


# ---------------------------------------------------------------- symbol records


def records(stream):
    """(offset, kind, whole record) of every record of a symbol record stream."""
    at = 0
    out = []
    while at + 4 <= len(stream):
        length, kind = struct.unpack_from("<HH", stream, at)
        if length < 2 or at + 2 + length > len(stream):
            raise PdbError("damaged symbol record at %d" % at)
        out.append((at, kind, stream[at:at + 2 + length]))
        at += 2 + length
    return out


def _numeric_leaf_size(b, at):
    value = u16(b, at)
    if value < 0x8000:
        return 2
    sizes = {0x8000: 1, 0x8001: 2, 0x8002: 2, 0x8003: 4, 0x8004: 4, 0x8009: 8, 0x800A: 8}
    if value not in sizes:
        raise PdbError("numeric leaf %x" % value)
    return 2 + sizes[value]


def symbol_name(kind, record):
    """The name that a record is hashed by in the publics and globals hashes."""
    body = record[4:]
    if kind in (0x110E, 0x110C, 0x110D, 0x1112, 0x1113):  # PUB32, L/GDATA32, L/GTHREAD32
        at = 10
    elif kind in (0x1125, 0x1127, 0x1126, 0x1128):  # PROCREF, LPROCREF, DATAREF, ANNOTATIONREF
        at = 10
    elif kind == 0x1108:  # UDT
        at = 4
    elif kind == 0x1107:  # CONSTANT
        at = 4 + _numeric_leaf_size(body, 4)
    else:
        raise PdbError("no name rule for symbol kind %x" % kind)
    end = body.index(b"\0", at)
    return body[at:end]


def public_record(flags, offset, segment, name):
    body = struct.pack("<HIIH", S_PUB32, flags, offset, segment) + name + b"\0"
    body += b"\0" * (-(len(body) + 2) % 4)
    return struct.pack("<H", len(body)) + body


# ---------------------------------------------------------------- symbol hashes


def hash_v1(name):
    """The string hash of the PDB's symbol hashes (the reference implementation's Hash())."""
    result = 0
    whole = len(name) // 4
    for (word,) in struct.iter_unpack("<I", name[:whole * 4]):
        result ^= word
    rest = name[whole * 4:]
    if len(rest) >= 2:
        result ^= u16(rest, 0)
        rest = rest[2:]
    if rest:
        result ^= rest[0]
    result |= 0x20202020
    result ^= result >> 11
    return (result ^ (result >> 16)) & 0xFFFFFFFF


def _ascii_less_key(name):
    # Shorter names first; same length: case-insensitive for ASCII, bytes otherwise.
    if all(c < 0x80 for c in name):
        return (len(name), name.lower())
    return (len(name), name)


def read_gsi(data, at):
    """The symbol offsets that the hash records of a GSI hash at `at` name, and its end."""
    signature, version, hr_size, bucket_size = struct.unpack_from("<4I", data, at)
    if signature != GSI_SIGNATURE or version != GSI_VERSION or hr_size % 8:
        raise PdbError("not a GSI hash")
    offsets = [u32(data, at + 16 + 8 * i) - 1 for i in range(hr_size // 8)]
    return offsets, at + 16 + hr_size + bucket_size


def write_gsi(offsets, symbols, buckets):
    """A GSI hash of the records at offsets, spread over `buckets` chains."""
    chains = {}
    for off in offsets:
        kind, record = symbols[off]
        name = symbol_name(kind, record)
        chains.setdefault(hash_v1(name) % buckets, []).append((_ascii_less_key(name), off))
    hash_records, bitmap = b"", bytearray(4 * ((buckets + 1 + 31) // 32))
    starts = b""
    index = 0
    for bucket in sorted(chains):
        bitmap[bucket // 8] |= 1 << (bucket % 8)
        starts += struct.pack("<I", index * HR_IN_MEMORY)
        for _, off in sorted(chains[bucket]):
            hash_records += struct.pack("<II", off + 1, 1)
            index += 1
    body = hash_records + bytes(bitmap) + starts
    return struct.pack("<4I", GSI_SIGNATURE, GSI_VERSION, len(hash_records),
                       len(bitmap) + len(starts)) + body


# ---------------------------------------------------------------- the reshaping


def stale_publics(live, count):
    """count S_PUB32 records that an incremental link would have left behind."""
    functions = [(name, seg, off) for name, flags, seg, off in live if flags & PUBLIC_FUNCTION]
    if not functions:
        raise PdbError("no public function to take stale twins from")
    penter = [f for f in functions if f[0] == b"__penter"]
    main = [f for f in functions if f[0] == b"_main"]
    out = []
    if penter:
        name, seg, off = penter[0]
        out.append(public_record(PUBLIC_FUNCTION, off + 0x10, seg, name))
    i = 0
    while len(out) < count:
        if main and i % 4 == 3:
            name, seg, off = main[0]
            out.append(public_record(PUBLIC_FUNCTION, off + 0x30, seg, name))
        elif i % 4 == 2:
            seg = functions[0][1]
            out.append(public_record(PUBLIC_FUNCTION, 0x20 * i, seg, b"?earlier%d@@YAXXZ" % i))
        else:
            name, seg, off = functions[i % len(functions)]
            out.append(public_record(PUBLIC_FUNCTION, off + 0x20, seg, name))
        i += 1
    return out[:count]


def reshape(pdb, fastlink=False, stale=0, buckets=None):
    streams, bs = read_msf(pdb)
    if len(streams) < 4 or streams[3] is None:
        raise PdbError("no DBI stream")
    dbi = bytearray(streams[3])
    globals_index, publics_index, symbols_index = u16(dbi, 12), u16(dbi, 16), u16(dbi, 20)
    symbols = bytearray(streams[symbols_index])
    by_offset = {off: (kind, rec) for off, kind, rec in records(bytes(symbols))}

    publics = streams[publics_index]
    public_offsets, gsi_end = read_gsi(publics, 28)
    live = []
    for off in public_offsets:
        kind, rec = by_offset[off]
        flags, offset, segment = struct.unpack_from("<IIH", rec, 4)
        live.append((symbol_name(kind, rec), flags, segment, offset))

    if stale:
        for rec in stale_publics(live, stale):
            by_offset[len(symbols)] = (S_PUB32, rec)
            symbols += rec
        dbi[56] |= 1  # incrementally linked
        streams[3] = bytes(dbi)
        streams[symbols_index] = bytes(symbols)

    if fastlink:
        buckets = buckets or FASTLINK_BUCKETS
        info = streams[1]
        streams[1] = info + struct.pack("<I", FEATURE_MINIMAL_DEBUG_INFO)
    if buckets:
        gsi = write_gsi(public_offsets, by_offset, buckets)
        header = bytearray(publics[:28])
        struct.pack_into("<I", header, 0, len(gsi))
        streams[publics_index] = bytes(header) + gsi + publics[gsi_end:]
        global_offsets, end = read_gsi(streams[globals_index], 0)
        streams[globals_index] = (write_gsi(global_offsets, by_offset, buckets)
                                  + streams[globals_index][end:])
    return write_msf(streams, bs)


def rename_pdb_record(image, pdb_name):
    """The image with its CodeView record naming pdb_name; the record keeps its size."""
    at = image.find(b"RSDS")
    if at < 0:
        raise PdbError("the image has no CodeView record")
    start = at + 24
    end = image.index(b"\0", start)
    name = pdb_name.encode()
    if len(name) > end - start:
        raise PdbError("new PDB name longer than the recorded path")
    return image[:start] + name + b"\0" * (end - start - len(name)) + image[end:]


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--from", dest="source", required=True)
    p.add_argument("--name", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--fastlink", action="store_true")
    p.add_argument("--stale", type=int, default=0)
    p.add_argument("--buckets", type=int)
    args = p.parse_args(argv)
    stem, ext = os.path.splitext(args.source)
    try:
        with open(stem + ".pdb", "rb") as f:
            pdb = reshape(f.read(), args.fastlink, args.stale, args.buckets)
        with open(args.source, "rb") as f:
            image = rename_pdb_record(f.read(), args.name + ".pdb")
    except (OSError, PdbError, KeyError, ValueError, struct.error) as e:
        print("msvc_pdb.py: %s: %s" % (args.name, e), file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)
    target = os.path.join(args.out, args.name)
    with open(target + ".pdb", "wb") as f:
        f.write(pdb)
    with open(target + ext, "wb") as f:
        f.write(image)
    shutil.copyfile(stem + ".map", target + ".map")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
