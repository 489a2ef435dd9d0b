#!/usr/bin/env python3
"""Times the whole job at scale, as whole processes, beside the programs a user would reach for.

    bench/run.py [--sizes 10000,100000,1000000] [--runs N] [--profile] [--build DIR]
                 [--works fresh,resolve,reclean,undname] [--previous OTHER_BUILD]

For each size: a synthetic /Gh image (cached under build/bench-images/), then the median of
several runs of the patch-clean run on a fresh copy, the resolve run on its result and a second
patch-clean run on the cleaned image, the runs of all sizes taken in turns; beside them
llvm-symbolizer on a sample of the functions (too slow for all: time per address and the
projection), llvm-undname on all decorated names, and the sqlite3 shell inserting as many rows
in one transaction (the floor for the database). Writes the table to bench/results/latest.md;
with --works, only those rows (no peers) to bench/results/latest-<works>.md.
"""

import argparse
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SYMBOLIZER_SAMPLE = 300


def warm(cmd):
    """Reads the program and the files it is handed (an image with its program database and
    map) once, so that every run starts from the page cache as a run right after a build does;
    this machine pages out file data that lies idle for a second or two."""
    paths = [shutil.which(cmd[0]) or cmd[0]]
    for arg in cmd[1:]:
        path = arg.split("=", 1)[1] if arg.startswith("--obj=") else arg
        if os.path.isfile(path):
            paths.append(path)
            stem, ext = os.path.splitext(path)
            if ext in (".exe", ".dll"):
                paths += [stem + ".pdb", stem + ".map"]
    for path in paths:
        if os.path.isfile(path):
            with open(path, "rb") as f:
                while f.read(1 << 24):
                    pass


def run_timed(cmd, env=None, stdin=None, cwd=None, check=True):
    """Runs cmd to its end; returns (seconds, peak resident kB, stdout). The files the setup
    wrote are flushed first, the kernel writing them back would otherwise be timed as well,
    and the inputs are read into the page cache. The peak comes from GNU time, a small parent:
    a child forked from this script would count the script's own memory as its peak."""
    os.sync()
    warm(cmd)
    with tempfile.NamedTemporaryFile(mode="r", prefix="tqt-peak-") as peak:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak.name] + cmd, env=env,
                                stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                cwd=cwd)
        out = proc.stdout.read()
        proc.wait()
        elapsed = time.perf_counter() - start
        text = peak.read().split()
    # GNU time reports a child that failed on the first line of its file.
    maxrss = int(text[-1]) if text and text[-1].isdigit() else 0
    if check and proc.returncode != 0:
        sys.exit(f"failed ({proc.returncode}): {' '.join(cmd)}\n{out.decode(errors='replace')}")
    return elapsed, maxrss, out


def median_of(runs, fn):
    times, peaks = [], []
    for _ in range(runs):
        t, peak = fn()
        times.append(t)
        peaks.append(peak)
    return statistics.median(times), max(peaks), min(times)


def build_image(n, cache):
    out = os.path.join(cache, f"synth{n}")
    subprocess.run([sys.executable, os.path.join(ROOT, "tests/imagebuilder/gen_synthetic.py"),
                    "--functions", str(n), "--out", out, "--jobs", str(os.cpu_count() or 2)],
                   check=True, stdout=subprocess.DEVNULL)
    return out, f"synth{n}"


def copy_image(src_dir, name, dst_dir):
    """A fresh image beside the cached program database and map, which no run changes: those
    are linked rather than copied, so that a run does not compete with writing back copies."""
    for ext in ("pdb", "map"):
        src, dst = os.path.join(src_dir, f"{name}.{ext}"), os.path.join(dst_dir, f"{name}.{ext}")
        try:
            os.link(src, dst)
        except OSError:
            shutil.copyfile(src, dst)
    shutil.copyfile(os.path.join(src_dir, f"{name}.exe"), os.path.join(dst_dir, f"{name}.exe"))
    return os.path.join(dst_dir, f"{name}.exe")


def read_map_functions(map_path):
    """(decorated name, rva) of every function line, as the tool reads them."""
    names = []
    base = 0
    with open(map_path, "rb") as f:
        for raw in f.read().split(b"\r\n"):
            line = raw.decode("latin-1")
            if base == 0 and "___ImageBase" in line:
                base = int(line[48:56], 16)
                continue
            if len(line) > 21 and line.endswith(".obj"):
                e = line.find(" ", 21)
                if e < 0:
                    continue
                p = max(48, e + 1)
                if p + 9 < len(line) and line[p + 9] != "f":
                    continue
                names.append((line[21:e], (int(line[p:p + 8], 16) - base) & 0xFFFFFFFF))
    return names


def tool_env(work):
    env = dict(os.environ)
    # The detached resolve run is timed on its own: keep it from competing with the timed run.
    env["TQ_VELMORA"] = os.path.join(work, "no-such-folder")
    env["TQ_TRACING"] = os.path.join(work, "tracing")
    env["HOME"] = work
    env["XDG_CONFIG_HOME"] = os.path.join(work, "config")
    env["APPDATA"] = os.path.join(work, "appdata")
    return env


FRESH = "patch-clean, fresh image"
RESOLVE = "resolve (demangle + source lookups + rewrite)"
UNDNAME = "undname.exe, all names (part of resolve)"
RECLEAN = "patch-clean, already clean image"
PREVIOUS = " (previous build)"


class SizeBench:
    """One image size: its setup, the timed runs of each work, and the peers."""

    def __init__(self, n, tool, vs_common, cache):
        self.n, self.tool, self.vs_common = n, tool, vs_common
        self.src_dir, self.name = build_image(n, cache)
        self.functions = read_map_functions(os.path.join(self.src_dir, f"{self.name}.map"))
        self.work = tempfile.mkdtemp(prefix="tqt-bench-")
        self.env = tool_env(self.work)
        self.namelist = os.path.join(self.work, f"{self.name}_tq.map")
        self.samples = {w: [] for w in (FRESH, RESOLVE, UNDNAME, RECLEAN)}

        # One cleaned image and database, the start for the resolve and re-clean runs.
        base = os.path.join(self.work, "base")
        os.mkdir(base)
        self.exe = copy_image(self.src_dir, self.name, base)
        self.db = os.path.join(base, "p.db")
        run_timed([tool, self.exe, self.db, vs_common], env=self.env, cwd=self.work)
        self.resolved_db = os.path.join(self.work, "resolved.db")
        shutil.copyfile(self.db, self.resolved_db)
        run_timed([tool, "--resolve", self.exe, self.namelist, self.resolved_db, vs_common],
                  env=self.env, cwd=self.work)
        con = sqlite3.connect(self.resolved_db)
        unresolved = con.execute("select count(*) from functions where name = 'not resolved yet' "
                                 "or source_file = 'not resolved yet'").fetchone()[0]
        self.entries = con.execute("select count(*) from functions").fetchone()[0]
        con.close()
        if unresolved:
            sys.exit(f"resolve left {unresolved} entries unresolved for {n}")

    def _in_scratch(self, prepare, cmd_of):
        d = tempfile.mkdtemp(dir=self.work)
        try:
            cmd = cmd_of(prepare(d))
            t, peak, _ = run_timed(cmd, env=self.env, cwd=self.work)
            return t, peak
        finally:
            shutil.rmtree(d, ignore_errors=True)

    def run_once(self, work, tool=None):
        vs = self.vs_common
        label = work if tool is None else work + PREVIOUS
        tool = tool or self.tool
        if work == FRESH:
            result = self._in_scratch(
                lambda d: (copy_image(self.src_dir, self.name, d), os.path.join(d, "p.db")),
                lambda p: [tool, p[0], p[1], vs])
        elif work == RESOLVE:
            result = self._in_scratch(
                lambda d: shutil.copyfile(self.db, os.path.join(d, "p.db")),
                lambda db: [tool, "--resolve", self.exe, self.namelist, db, vs])
        elif work == RECLEAN:
            result = self._in_scratch(
                lambda d: shutil.copyfile(self.resolved_db, os.path.join(d, "p.db")),
                lambda db: [tool, self.exe, db, vs])
        else:
            result = run_timed([os.path.join(vs, "bin", "undname.exe"), self.namelist])[:2]
        self.samples.setdefault(label, []).append(result)

    def stats(self, work):
        times = [t for t, _ in self.samples[work]]
        return statistics.median(times), max(p for _, p in self.samples[work]), min(times)

    def peers(self, runs):
        work, functions = self.work, self.functions
        sample = random.Random(1).sample(functions, min(SYMBOLIZER_SAMPLE, len(functions)))
        addr_file = os.path.join(work, "addrs.txt")
        with open(addr_file, "w") as f:
            for _, rva in sample:
                f.write(f"0x{0x400000 + rva:x}\n")
        with open(addr_file) as f:
            t_sym, _, _ = run_timed(["llvm-symbolizer-14", f"--obj={self.exe}", "--no-inlines"],
                                    stdin=f)
        self.per_addr = t_sym / len(sample)

        names_file = os.path.join(work, "names.txt")
        with open(names_file, "w") as f:
            for nm, _ in functions:
                f.write(nm + "\n")
        with open(names_file) as f:
            # It exits non-zero when a name (a C name, say) is not a decorated one.
            self.t_undname, _, _ = run_timed(["llvm-undname-14"], stdin=f, check=False)

        sql = os.path.join(work, "insert.sql")
        with open(sql, "w") as f:
            f.write("CREATE TABLE functions (address INTEGER PRIMARY KEY, name TEXT NOT NULL, "
                    "source_file TEXT NOT NULL, old_bytes INTEGER NOT NULL);\nBEGIN;\n")
            for i, (_, rva) in enumerate(functions):
                f.write(f"INSERT OR IGNORE INTO functions VALUES({rva},'not resolved yet',"
                        f"'not resolved yet',{0xE8 + i});\n")
            f.write("COMMIT;\n")

        def sqlite_floor():
            target = os.path.join(tempfile.mkdtemp(dir=work), "s.db")
            with open(sql) as f:
                t, peak, _ = run_timed(["sqlite3", target], stdin=f)
            return t, peak

        self.t_sqlite, _, _ = median_of(runs, sqlite_floor)

    def report(self, rows, notes, fastest, works):
        n = self.n
        for work in works:
            fastest[(n, work)] = self.stats(work)[2]
        floor = "sqlite3 shell: insert rows, one transaction"
        peers = {
            FRESH: (floor, getattr(self, "t_sqlite", None)),
            RESOLVE: (f"llvm-symbolizer projected to all (measured "
                      f"{getattr(self, 'per_addr', 0) * 1000:.2f} ms/address)",
                      getattr(self, "per_addr", 0) * len(self.functions) or None),
            UNDNAME: ("llvm-undname, all names", getattr(self, "t_undname", None)),
            RECLEAN: (floor, getattr(self, "t_sqlite", None)),
        }
        for work in (FRESH, RESOLVE, UNDNAME, RECLEAN):
            if work in works:
                t, m, _ = self.stats(work)
                rows.append((n, work, t, peers[work][0], peers[work][1], m))
            if work + PREVIOUS in self.samples:
                t_prev, m_prev, quick_prev = self.stats(work + PREVIOUS)
                rows.append((n, work + PREVIOUS, t_prev, "-", None, m_prev))
                notes.append(f"{work}, {n:,}: {(t / t_prev - 1) * 100:+.0f} % against the "
                             f"previous build (medians; fastest runs: "
                             f"{(self.stats(work)[2] / quick_prev - 1) * 100:+.0f} %)")
        notes.append(f"{n}: {len(self.functions)} map functions, {self.entries} database entries "
                     "after resolve")

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


def profile(tool, vs_common, src_dir, name, env, work, notes):
    if not shutil.which("perf"):
        notes.append("perf is not installed: no profile taken")
        return
    d = tempfile.mkdtemp(dir=work)
    exe = copy_image(src_dir, name, d)
    db = os.path.join(d, "p.db")
    for label, cmd in (("patch-clean", [tool, exe, db, vs_common]),
                       ("resolve", [tool, "--resolve", exe, os.path.join(work, f"{name}_tq.map"), db, vs_common])):
        data = os.path.join(work, f"perf-{label}.data")
        subprocess.run(["perf", "record", "-g", "-o", data, "--"] + cmd, env=env, cwd=work,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        report = subprocess.run(["perf", "report", "-i", data, "--no-children", "--stdio",
                                 "--percent-limit", "2", "--sort", "dso,symbol"],
                                capture_output=True, text=True).stdout
        out = os.path.join(ROOT, "bench", "results", f"profile-{label}.txt")
        with open(out, "w") as f:
            f.write(report)
        notes.append(f"profile of {label}: bench/results/profile-{label}.txt")


def fmt(t):
    if t is None:
        return "-"
    return f"{t * 1000:.0f} ms" if t < 10 else f"{t:.1f} s"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="10000,100000,1000000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--profile", action="store_true")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--works", default="")
    # The patch-clean runs of another build of the tool, in turns with ours on the same inputs:
    # what a change costs, measured in one session.
    ap.add_argument("--previous", default="")
    args = ap.parse_args()
    chosen = {"fresh": FRESH, "resolve": RESOLVE, "reclean": RECLEAN, "undname": UNDNAME}
    works = [chosen[w] for w in args.works.split(",") if w] or list(chosen.values())
    partial = len(works) < len(chosen)
    args.sizes = [int(s) for s in args.sizes.split(",")]
    args.build = os.path.abspath(args.build)

    tool = os.path.join(args.build, "bin", "tqt_patchclean.exe")
    vs_common = os.path.join(args.build, "vs-common")
    cache = os.path.join(args.build, "bench-images")
    os.makedirs(cache, exist_ok=True)
    rows, notes, fastest = [], [], {}
    benches = []
    try:
        for n in args.sizes:
            print(f"== setting up {n} functions", flush=True)
            benches.append(SizeBench(n, tool, vs_common, cache))
        # Round after round, every size and work once each: a slower or faster spell of the
        # machine then falls on all sizes alike, and the growth from size to size stays fair.
        for r in range(args.runs):
            print(f"== round {r + 1} of {args.runs}", flush=True)
            for b in benches:
                for work in works:
                    b.run_once(work)
                    if args.previous and work in (FRESH, RECLEAN):
                        b.run_once(work, os.path.join(os.path.abspath(args.previous), "bin",
                                                      "tqt_patchclean.exe"))
        for b in benches:
            if not partial:
                print(f"== peers at {b.n} functions", flush=True)
                b.peers(args.runs)
            if args.profile and b.n == max(args.sizes):
                profile(tool, vs_common, b.src_dir, b.name, b.env, b.work, notes)
            b.report(rows, notes, fastest, works)
    finally:
        for b in benches:
            b.close()

    lines = ["| size | work | ours | peer | peer's time | ratio (peer / ours) | our peak memory |",
             "| ---: | --- | ---: | --- | ---: | ---: | ---: |"]
    for n, work, ours, peer, theirs, peak in rows:
        ratio = f"{theirs / ours:.1f}" if ours and theirs else "-"
        mem = f"{peak / 1024:.0f} MiB" if peak else "-"
        lines.append(f"| {n:,} | {work} | {fmt(ours)} | {peer} | {fmt(theirs)} | {ratio} | {mem} |")
    # How each work grows from one size to the next tenfold one: linear work stays near 10.
    # The fastest runs beside the medians: other load on the machine only ever adds time.
    times = {(n, work): ours for n, work, ours, _, _, _ in rows}
    for n, work, ours, _, _, _ in rows:
        small = times.get((n // 10, work))
        if small and ours and (n, work) in fastest:
            quick, quick_small = fastest.get((n, work)), fastest.get((n // 10, work))
            notes.append(f"{work}: {n:,} functions took {ours / small:.1f} x the time of "
                         f"{n // 10:,} (medians; fastest runs: {quick / quick_small:.1f} x)")
    text = "\n".join(lines) + "\n\n" + "\n".join(f"- {x}" for x in notes) + "\n"
    stamp = time.strftime("%Y-%m-%d %H:%M")
    header = (f"# Benchmarks\n\nMeasured {stamp} on this machine ({os.cpu_count()} cores), "
              f"median of {args.runs} runs, whole processes.\n\n")
    print(text)
    suffix = "-" + args.works.replace(",", "-") if partial else ""
    with open(os.path.join(ROOT, "bench", "results", f"latest{suffix}.md"), "w") as f:
        f.write(header + text)


if __name__ == "__main__":
    main()
