#!/usr/bin/env python3
"""Benchmarks of setup.exe under Wine; prints one table of figures.

    bench/bench.py BUILD_X86_64 BUILD_I686 [--no-i686] [--figures 2,6]

Runs inside scripts/session.sh (WINEPREFIX set, a warm wineserver). Each figure
is measured for the shipped i686 build under 32-bit Wine and for the x86_64
build under 64-bit Wine, in the same prefix and run; --no-i686 leaves out the
i686 runs (a machine that cannot start 32-bit programs), not its size;
--figures measures only the figures of those numbers. Every
figure is the median of several runs; a comparison alternates the two sides round by
round and takes the median of the per-round ratios. Benchmarks print numbers:
nothing here fails on slowness. A figure whose pieces are missing or whose
program fails is printed as "n/a" with the reason.
"""

import collections
import glob
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

MiB = 1024 * 1024
WINE64 = "/usr/lib/wine/wine64"
WINE32 = "/usr/lib/wine/wine"
RUN_TIMEOUT = 300  # seconds; a hung program becomes "n/a", not a hung bench

EXTRACT_ROUNDS = 21
MEMORY_ROUNDS = 5
STARTUP_ROUNDS = 31
INSTALL_ROUNDS = 21
CHECK_ROUNDS = 7
READBACK_ROUNDS = 9
SAMPLE_INTERVAL = 0.002  # seconds between two reads of smaps_rollup

# Package entry flags of the bundles: per machine, the command line's UI level.
BUNDLE_FLAGS = "9"
RANDOM_CODE = "{6B1F3C2A-8E4D-4A5B-9C7E-0F1A2B3C4D5E}"
SMALL_CODE = "{2C7E9A41-5B3D-4F60-8A1C-9D2E3F405162}"
SMALL_NAME = "BenchSmall"
SMALL_KEY = "HKLM\\Software\\Wow6432Node\\" + SMALL_NAME  # where make-msi.sh's package writes


# One finished Windows program: wall-clock seconds, CPU seconds, exit code.
Run = collections.namedtuple("Run", "wall cpu code")


class NotAvailable(Exception):
    """A figure that cannot be measured in this tree or this run."""


class Bench:
    def __init__(self, build64, build32, run32=True, figures=None):
        self.build64 = os.path.abspath(build64)
        self.build32 = os.path.abspath(build32)
        # The builds whose programs run here, the shipped one first.
        self.runnable = ([("i686", self.build32)] if run32 else []) + [("x86_64", self.build64)]
        self.source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        prefix = os.environ.get("WINEPREFIX")
        if not prefix:
            sys.exit("bench: run inside scripts/session.sh (WINEPREFIX is not set)")
        self.unix_work = os.path.join(prefix, "drive_c", "bench")
        self.temp_dirs = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp"))
        self.rows = []
        self.bundles = set()  # made in this run
        self.figures = figures  # numbers of the figures to measure; None: all

    # --- paths and processes ---------------------------------------------------

    def work(self, *names):
        return os.path.join(self.unix_work, *names)

    def win(self, unix_path):
        """The Windows path of a file: C:\\bench\\... in the bench folder, else Z:."""
        relative = os.path.relpath(unix_path, self.unix_work)
        if relative.startswith(".."):
            return "Z:" + os.path.abspath(unix_path).replace("/", "\\")
        return "C:\\bench\\" + relative.replace("/", "\\")

    def program(self, build, *names):
        path = os.path.join(build, *names)
        if not os.path.isfile(path):
            raise NotAvailable(os.path.relpath(path, self.source) + " is not built")
        return path

    def run(self, args, capture=False):
        """Runs one Windows program under the loader of its bitness; returns (Run, output).

        The CPU time is the user and system time of the wine process itself
        (the wineserver's share is not in it): on a shared machine it moves
        less than the wall-clock time does.
        """
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        process = subprocess.Popen([loader_for(args[0])] + args, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                                   stderr=subprocess.STDOUT if capture else subprocess.DEVNULL)
        try:
            output, _ = process.communicate(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise NotAvailable(f"{os.path.basename(args[0])} did not end within {RUN_TIMEOUT} s")
        seconds = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        text = output.decode(errors="replace").strip() if capture and output else ""
        return Run(seconds, cpu, process.returncode), text

    def run_ok(self, args, what):
        run, output = self.run(args, capture=True)
        if run.code != 0:
            raise NotAvailable(f"{what} exited with {run.code} (low 8 bits)"
                               + (f": {output[-200:]}" if output else ""))
        return run

    def sample_memory(self, args):
        """Runs one Windows program and samples the memory of its process.

        The Wine loader becomes the process that runs the program (same PID), so
        its /proc/PID/smaps_rollup is read every SAMPLE_INTERVAL until it ends.
        Returns the peaks of Anonymous and Private_Dirty in KiB and the exit code.
        """
        process = subprocess.Popen([loader_for(args[0])] + args, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak = {"Anonymous:": 0, "Private_Dirty:": 0}
        samples = 0
        path = f"/proc/{process.pid}/smaps_rollup"
        deadline = time.monotonic() + RUN_TIMEOUT
        while process.poll() is None and time.monotonic() < deadline:
            try:
                with open(path) as rollup:
                    for line in rollup:
                        fields = line.split()
                        if fields and fields[0] in peak:
                            peak[fields[0]] = max(peak[fields[0]], int(fields[1]))
                samples += 1
            except (OSError, ValueError, IndexError):
                pass  # the process is ending
            time.sleep(SAMPLE_INTERVAL)
        if process.poll() is None:
            process.kill()
            process.wait()
            raise NotAvailable(f"{os.path.basename(args[0])} did not end within {RUN_TIMEOUT} s")
        return peak["Anonymous:"], peak["Private_Dirty:"], process.returncode, samples

    # --- inputs ----------------------------------------------------------------

    def make_msi(self):
        path = os.path.join(self.source, "scripts", "make-msi.sh")
        if not os.path.isfile(path):
            raise NotAvailable("scripts/make-msi.sh does not exist yet")
        return path

    def random_package(self, name, size):
        """An installer database (the packer carries nothing else) that holds
        `size` random bytes in one stream, beside make-msi.sh's few tables."""
        path = self.work(name)
        if not (os.path.isfile(path) and os.path.getsize(path) > size):
            stream = self.work("random.bin")
            with open(stream, "wb") as out:
                left = size
                while left:
                    chunk = min(left, 4 * MiB)
                    out.write(os.urandom(chunk))
                    left -= chunk
            subprocess.run([self.make_msi(), path, "--name", "BenchRandom", "--code", RANDOM_CODE], check=True)
            subprocess.run(["msibuild", path, "-a", "random", stream], check=True)
            os.remove(stream)
        return path

    def bundle(self, name, package, stub, code=None, version=None):
        """setup.exe carrying one package, made from the stub by the x86_64 packer
        (whose bundles are the same bytes as the i686 packer's)."""
        packer = self.program(self.build64, "bin", "setuppack.exe")
        out = self.work(name)
        if out in self.bundles:
            return out
        args = [packer, "/out", self.win(out), "/stub", self.win(stub),
                "/package", self.win(package), "/flags", BUNDLE_FLAGS]
        if code:
            args += ["/code", code]
        if version:
            args += ["/version", version]
        self.run_ok(args, "setuppack")
        self.bundles.add(out)
        return out

    def stub_path(self, build):
        for name in ("setupstub.exe", "setup.exe"):
            path = os.path.join(build, "bin", name)
            if os.path.isfile(path):
                return path
        raise NotAvailable(os.path.relpath(os.path.join(build, "bin"), self.source)
                           + " has neither setupstub.exe nor setup.exe")

    def remove_default_logs(self, base):
        """setup.exe numbers its default logs up to 999 per name: keep the count low."""
        for folder in self.temp_dirs:
            for log in glob.glob(os.path.join(folder, base + "*.log")):
                os.remove(log)

    # --- the table -------------------------------------------------------------

    def add(self, figure, measured, note=""):
        self.rows.append((figure, measured, note))

    def figure(self, label, function):
        print(f"bench: {label} ...", file=sys.stderr, flush=True)
        try:
            function()
        except NotAvailable as reason:
            self.add(label, "n/a", str(reason))

    def print_table(self):
        widths = [max(len(row[i]) for row in self.rows + [("figure", "measured", "")]) for i in range(2)]
        print()
        print(f"{'figure':<{widths[0]}}  {'measured':<{widths[1]}}  note")
        for figure, measured, note in self.rows:
            line = f"{figure:<{widths[0]}}  {measured:<{widths[1]}}  {note}"
            print(line.rstrip())
        print()
        print("Times are wall-clock seconds of whole Wine processes on a shared 2-core machine:")
        print("absolute times are noisy; only the ratios, measured side by side in alternating")
        print("rounds of the same run, carry.")

    # --- 1: size -----------------------------------------------------------------

    def size(self):
        for arch, build in (("i686", self.build32), ("x86_64", self.build64)):
            self.figure(f"1 size {arch}", lambda: self.size_of(arch, build))

    def size_of(self, arch, build):
        stub = self.stub_path(build)
        stripped = self.work(f"stub-{arch}.exe")
        subprocess.run([f"{arch}-w64-mingw32-strip", "-o", stripped, stub], check=True)
        total = os.path.getsize(stripped)
        kind = os.path.basename(stub) + ("" if stub.endswith("setupstub.exe") else " (no stub target)")
        note = "goal <= 128 KiB" if arch == "i686" else ""
        self.add(f"1 size {arch}", f"{total} B = {total / 1024:.1f} KiB", f"{kind}, stripped; {note}".rstrip("; "))
        sections = self.sections(arch, stripped, total)
        first = min((offset for _, _, _, offset in sections if offset), default=total)
        self.add("", f"  {'headers':<7} {first:>6} B", "the PE headers, padded to the file alignment")
        for name, size, file_size, _ in sections:
            self.add("", f"  {name:<7} {size:>6} B", f"{file_size // 1024} KiB in the file")
        link_map = os.path.splitext(stub)[0] + ".map"
        if os.path.isfile(link_map):
            parts = text_origins(link_map)
            self.add("", "  .text made of", ", ".join(f"{name} {size}" for name, size in parts))
        parts = resource_types(stripped)
        self.add("", "  .rsrc made of", ", ".join(f"{name} {size}" for name, size in parts))

    @staticmethod
    def sections(arch, path, total):
        """(name, size, bytes in the file, file offset) for each section."""
        dump = subprocess.run([f"{arch}-w64-mingw32-objdump", "-h", path], check=True,
                              capture_output=True, text=True).stdout
        found = []
        for line in dump.splitlines():
            fields = line.split()
            if len(fields) >= 7 and fields[0].isdigit():
                found.append((fields[1], int(fields[2], 16), int(fields[5], 16)))
        result = []
        offsets = sorted({offset for _, _, offset in found if offset} | {total})
        for name, size, offset in found:
            following = [o for o in offsets if o > offset]
            file_size = (following[0] - offset) if offset and following else 0
            result.append((name, size, file_size, offset))
        return result

    # --- 2: extraction throughput --------------------------------------------------

    def extraction(self, arch, build):
        copier = self.program(build, "bench", "benchcopy.exe")
        self.program(self.build64, "bin", "setuppack.exe")
        package = self.random_package("random256.msi", 256 * MiB)
        bundle = self.bundle(f"random256-{arch}.exe", package, self.stub_path(build), RANDOM_CODE, "1.0.0.0")
        extract_dir = self.work("extracted")
        copy_dir = self.work("copied")
        extract = [bundle, "/extract", self.win(extract_dir)]
        copy = [copier, self.win(package), self.win(os.path.join(copy_dir, "random256.msi"))]

        def run_side(side):
            # Both sides start from an empty target folder (the copy needs it to
            # exist) and with earlier writes on the disk.
            folder = extract_dir if side == "extract" else copy_dir
            shutil.rmtree(folder, ignore_errors=True)
            if side == "copy":
                os.makedirs(folder)
            os.sync()
            return self.run_ok(extract if side == "extract" else copy, side)

        run_side("extract")  # warms the caches
        if not same_file(package, os.path.join(extract_dir, "random256.msi")):
            raise NotAvailable("the extracted file differs from the package")
        run_side("copy")
        runs = {"extract": [], "copy": []}
        for round_number in range(EXTRACT_ROUNDS):
            for side in rotated(["extract", "copy"], round_number):
                runs[side].append(run_side(side))
        shutil.rmtree(extract_dir, ignore_errors=True)
        shutil.rmtree(copy_dir, ignore_errors=True)
        result = Comparison(runs["extract"], runs["copy"])
        self.add(f"2 extraction 256 MiB {arch}",
                 f"/extract {result.wall_a:.3f} s = {256 / result.wall_a:.0f} MiB/s, "
                 f"CopyFileW {result.wall_b:.3f} s = {256 / result.wall_b:.0f} MiB/s",
                 f"medians of {EXTRACT_ROUNDS}, alternating")
        self.add("", f"ratio {result.wall_ratio:.2f}x (CPU {result.cpu_ratio:.2f}x)",
                 "goal <= 1.1x; median of the per-round ratios, " + result.rounds())

    # --- 3: memory -----------------------------------------------------------------

    def memory(self, arch, build):
        self.program(self.build64, "bin", "setuppack.exe")
        packages = {16: self.random_package("random16.msi", 16 * MiB),
                    256: self.random_package("random256.msi", 256 * MiB)}
        stub = self.stub_path(build)
        bundles = {mib: self.bundle(f"random{mib}-{arch}.exe", path, stub, RANDOM_CODE, "1.0.0.0")
                   for mib, path in packages.items()}
        peaks = {mib: ([], []) for mib in packages}
        sample_counts = []
        out = self.work("extracted")
        for round_number in range(MEMORY_ROUNDS):
            order = [16, 256] if round_number % 2 == 0 else [256, 16]
            for mib in order:
                shutil.rmtree(out, ignore_errors=True)
                anonymous, dirty, code, samples = self.sample_memory(
                    [bundles[mib], "/extract", self.win(out)])
                if code != 0:
                    raise NotAvailable(f"setup.exe /extract ({mib} MiB) exited with {code}")
                sample_counts.append(samples)
                peaks[mib][0].append(anonymous)
                peaks[mib][1].append(dirty)
        shutil.rmtree(out, ignore_errors=True)
        anonymous = {mib: statistics.median(values[0]) for mib, values in peaks.items()}
        dirty = {mib: statistics.median(values[1]) for mib, values in peaks.items()}
        for mib in packages:
            self.add(f"3 memory /extract {mib} MiB {arch}",
                     f"peak Anonymous {anonymous[mib]:.0f} KiB, Private_Dirty {dirty[mib]:.0f} KiB",
                     f"median of {MEMORY_ROUNDS} peaks")
        control = self.unaligned_control(build, packages[256])
        difference = anonymous[256] - anonymous[16]
        self.add("", f"difference {difference:+.0f} KiB Anonymous, {dirty[256] - dirty[16]:+.0f} KiB Private_Dirty",
                 "goal < 1024 KiB; /proc/PID/smaps_rollup of the wine process running setup.exe, "
                 f"read every {SAMPLE_INTERVAL * 1000:.0f} ms ({min(sample_counts)} to "
                 f"{max(sample_counts)} samples a run; a heap copy of the payload would last "
                 "far longer than one interval)")
        if control is not None:
            self.add("", f"control: {control:.0f} KiB",
                     "the 256 MiB bundle made from a stub with 512-byte file alignment, whose image Wine "
                     "reads into private memory instead of mapping it: the payload after the image is "
                     "not part of it (one run)")

    def unaligned_control(self, build, package):
        """Peak Anonymous (KiB) of /extract from a stub with 512-byte file alignment.

        Wine reads such an image into private memory instead of mapping it, so
        the payload shows in the sample: proof that the method would see a copy.
        """
        stub = os.path.join(build, "bench", "benchstub512.exe")
        if not os.path.isfile(stub):
            return None
        bundle = self.bundle("random256-unaligned.exe", package, stub, RANDOM_CODE, "1.0.0.0")
        out = self.work("extracted")
        shutil.rmtree(out, ignore_errors=True)
        anonymous, _, code, _ = self.sample_memory([bundle, "/extract", self.win(out)])
        shutil.rmtree(out, ignore_errors=True)
        os.remove(bundle)
        self.bundles.discard(bundle)
        return anonymous if code == 0 else None

    # --- 4: start-up -----------------------------------------------------------------

    def startup(self, arch, build):
        nothing = self.program(build, "bench", "benchnothing.exe")
        self.program(self.build64, "bin", "setuppack.exe")
        package = self.random_package("tiny.msi", 4096)
        bundle = self.bundle(f"tiny-{arch}.exe", package, self.stub_path(build), RANDOM_CODE, "1.0.0.0")
        out = self.work("tiny-out")
        sides = {"setup.exe /extract": [bundle, "/extract", self.win(out)], "benchnothing": [nothing]}
        runs = {side: [] for side in sides}
        for side in sides:  # warm
            self.run_ok(sides[side], side)
        for round_number in range(STARTUP_ROUNDS):
            for side in rotated(list(sides), round_number):
                shutil.rmtree(out, ignore_errors=True)
                runs[side].append(self.run_ok(sides[side], side))
        shutil.rmtree(out, ignore_errors=True)
        result = Comparison(runs["setup.exe /extract"], runs["benchnothing"])
        self.add(f"4 start-up {arch}", f"/extract 4 KiB {result.wall_a * 1000:.0f} ms, "
                               f"do-nothing {result.wall_b * 1000:.0f} ms",
                 f"medians of {STARTUP_ROUNDS}, alternating, same warm wineserver")
        self.add("", f"ratio {result.wall_ratio:.2f}x (CPU {result.cpu_ratio:.2f}x), "
                     f"{(result.wall_a - result.wall_b) * 1000:+.0f} ms",
                 "median of the per-round ratios, " + result.rounds())

    # --- 5: installer overhead ---------------------------------------------------------

    def installer(self, arch, build):
        direct = self.program(build, "bench", "benchmsi.exe")
        package = self.work("benchsmall.msi")
        subprocess.run([self.make_msi(), package, "--name", SMALL_NAME, "--code", SMALL_CODE], check=True)
        bundle = self.bundle(f"benchsmall-{arch}.exe", package, self.stub_path(build))
        log = self.work("direct.log")
        # Each side installs and then removes the package; the command lines
        # are those setup.exe gives the installer for /quiet and /uninstall.
        sides = {
            "setup": ([bundle, "/quiet"], [bundle, "/uninstall", "/quiet"]),
            "direct": ([direct, "2", self.win(package), ""],
                       [direct, "2", self.win(package), " REMOVE=ALL"]),
            "direct+log": ([direct, "2", self.win(package), "", self.win(log)],
                           [direct, "2", self.win(package), " REMOVE=ALL", self.win(log)]),
        }
        self.run(sides["direct"][1])  # a product left behind by an interrupted run
        runs = {(side, step): [] for side in sides for step in (0, 1)}
        for round_number in range(-1, INSTALL_ROUNDS):
            for side in rotated(list(sides), round_number):
                for step in (0, 1):
                    what = f"{side} {('install', 'remove')[step]}"
                    run = self.run_ok(sides[side][step], what)
                    if round_number < 0:  # the warming round checks the work is real
                        if self.small_product_installed() != (step == 0):
                            raise NotAvailable(f"{what} exited with 0 but did not do its work")
                    else:
                        runs[(side, step)].append(run)
            self.remove_default_logs("benchsmall")
        for step, verb in enumerate(("install", "remove")):
            plain = Comparison(runs[("setup", step)], runs[("direct", step)])
            logged = Comparison(runs[("setup", step)], runs[("direct+log", step)])
            switches = "/quiet" if step == 0 else "/uninstall /quiet"
            self.add(f"5 installer {verb} {arch}",
                     f"setup.exe {switches} {plain.wall_a:.3f} s, direct {plain.wall_b:.3f} s, "
                     f"direct+log {logged.wall_b:.3f} s",
                     f"medians of {INSTALL_ROUNDS}, rotating; UI level 2, same package and command line")
            self.add("", f"ratio {plain.wall_ratio:.2f}x to direct (CPU {plain.cpu_ratio:.2f}x), "
                         f"{logged.wall_ratio:.2f}x to direct+log",
                     "goal <= 1.05x; direct+log also writes the log setup.exe always writes "
                     "(mode 0x1FDF); per-round ratios to direct: " + plain.rounds())

    # --- 6: the checks of an elevated run --------------------------------------------

    def elevated_checks(self, arch, build):
        """Under Wine every run is elevated: setup.exe writes the package where the
        installer reads it, holds it and reads it back against its own bytes. Its
        install of a 256 MiB package against the installer installing the same
        file directly, and against /extract, which only writes it; and the
        read-back alone, timed in-process in the run's own code."""
        direct = self.program(build, "bench", "benchmsi.exe")
        package = self.random_package("random256.msi", 256 * MiB)
        bundle = self.bundle(f"random256-{arch}.exe", package, self.stub_path(build), RANDOM_CODE, "1.0.0.0")
        extract_dir = self.work("extracted")
        sides = {
            "setup": [bundle, "/quiet"],
            "direct": [direct, "2", self.win(package), ""],
            "extract": [bundle, "/extract", self.win(extract_dir)],
        }
        removals = {"setup": [bundle, "/uninstall", "/quiet"], "direct": [direct, "2", self.win(package), " REMOVE=ALL"]}
        self.run(removals["direct"])  # a product left behind by an interrupted run
        runs = {side: [] for side in sides}
        for round_number in range(-1, CHECK_ROUNDS):
            for side in rotated(list(sides), round_number):
                shutil.rmtree(extract_dir, ignore_errors=True)
                os.sync()
                run = self.run_ok(sides[side], side)
                if side in removals:
                    self.run_ok(removals[side], side + " removal")
                if round_number >= 0:
                    runs[side].append(run)
            self.remove_default_logs("random256")
        shutil.rmtree(extract_dir, ignore_errors=True)
        setup, direct_install, extract = (statistics.median(run.wall for run in runs[side])
                                          for side in ("setup", "direct", "extract"))
        self.add(f"6 elevated checks 256 MiB {arch}",
                 f"setup.exe /quiet {setup:.3f} s, direct {direct_install:.3f} s, /extract {extract:.3f} s",
                 f"medians of {CHECK_ROUNDS}, rotating; one package of 256 MiB installed per machine")
        self.add("", f"setup.exe over direct +{setup - direct_install:.3f} s to write, hold and read back 256 MiB",
                 "the write alone is about /extract's time less a start-up")
        self.readback(arch, build, package)

    def readback(self, arch, build, package):
        """The read-back alone: benchreadback, packed as the stub of a bundle of
        the 256 MiB package, writes it as a setup run does, with and without
        the read-back in alternation, and reports the medians."""
        timer = self.program(build, "bench", "benchreadback.exe")
        bundle = self.bundle(f"readback256-{arch}.exe", package, timer, RANDOM_CODE, "1.0.0.0")
        run, output = self.run([bundle, str(READBACK_ROUNDS)], capture=True)
        words = output.replace(",", "").split()
        if run.code != 0 or len(words) < 9:
            raise NotAvailable(f"benchreadback exited with {run.code}: {output[-200:]}")
        write, checked = float(words[1]) / 1000, float(words[7]) / 1000
        self.add("", f"read-back of 256 MiB +{checked - write:.3f} s: write {write:.3f} s, "
                     f"write and read back {checked:.3f} s",
                 f"in-process, the run's own code (benchreadback as a bundle's stub), medians of "
                 f"{READBACK_ROUNDS} alternating writes; both files are read anew through their handles")

    def small_product_installed(self):
        """Whether the registry value of the small package is there (a 32-bit component)."""
        run, _ = self.run(["reg", "query", SMALL_KEY, "/v", "Version"], capture=True)
        return run.code == 0

    def all(self):
        os.makedirs(self.unix_work, exist_ok=True)
        started = time.monotonic()
        if self.figures is None or 1 in self.figures:
            self.size()
        for label, function in (("2 extraction 256 MiB", self.extraction), ("3 memory", self.memory),
                                ("4 start-up", self.startup), ("5 installer", self.installer),
                                ("6 elevated checks", self.elevated_checks)):
            if self.figures is not None and int(label.split()[0]) not in self.figures:
                continue
            for arch, build in self.runnable:
                self.figure(f"{label} {arch}", lambda: function(arch, build))
        self.print_table()
        print(f"(bench took {time.monotonic() - started:.0f} s)")


def loader_for(program):
    """The Wine loader of the program's bitness, from the machine field of its PE
    header (0x14c: i386); Wine's own programs (reg) run as 64-bit ones. A 32-bit
    program started through wine64 would cost a second process at every start."""
    try:
        with open(program, "rb") as exe:
            header = exe.read(4096)
        pe = int.from_bytes(header[60:64], "little")
        machine = int.from_bytes(header[pe + 4:pe + 6], "little")
    except (OSError, ValueError):
        return WINE64
    return WINE32 if machine == 0x14C else WINE64


def rotated(items, round_number):
    """The order of one round: each round starts one side later than the last."""
    shift = round_number % len(items)
    return items[shift:] + items[:shift]


class Comparison:
    """Two sides measured in the same rounds: medians and per-round ratios a/b."""

    def __init__(self, runs_a, runs_b):
        self.wall_a = statistics.median(run.wall for run in runs_a)
        self.wall_b = statistics.median(run.wall for run in runs_b)
        self.ratios = [a.wall / b.wall for a, b in zip(runs_a, runs_b)]
        self.wall_ratio = statistics.median(self.ratios)
        self.cpu_ratio = statistics.median(a.cpu / b.cpu if b.cpu else float("nan")
                                           for a, b in zip(runs_a, runs_b))

    def rounds(self):
        """The spread of the per-round ratios: first quartile, median, third quartile."""
        quartiles = statistics.quantiles(self.ratios, n=4)
        return f"{len(self.ratios)} rounds, quartiles {quartiles[0]:.2f} / {quartiles[1]:.2f} / {quartiles[2]:.2f}"


def text_origins(link_map):
    """Bytes of the read-only section by where they come from, largest first.

    Reads the linker's map: every input section placed in .text (code,
    constants, import tables) with its size and object file.
    """
    sizes = {}
    inside = False
    for line in open(link_map, errors="replace"):
        if line.startswith("."):
            inside = line.split()[0] == ".text"
            continue
        fields = line.split()
        if not inside or len(fields) < 3:
            continue
        if fields[0].startswith("."):
            fields = fields[1:]
        if len(fields) < 3 or not fields[0].startswith("0x") or not fields[1].startswith("0x"):
            continue
        size = int(fields[1], 16)
        origin = " ".join(fields[2:])
        if "(" in origin:  # an archive member: lib.a(member.o)
            library = os.path.basename(origin.split("(")[0])
            member = origin.split("(")[1].rstrip(")")
            if library in ("libsetuplibs.a", "libsetupcore.a"):
                name = member.split(".")[0]
            elif library.startswith(("libgcc", "libmingw")):
                name = "compiler run-time"
            else:
                name = "import tables"
        elif origin.startswith("LONG"):
            name = "import tables"  # the descriptor that ends the list
        else:
            name = os.path.basename(origin).split(".")[0]
        sizes[name] = sizes.get(name, 0) + size
    return sorted(sizes.items(), key=lambda item: -item[1])


RESOURCE_TYPES = {1: "cursor", 3: "icon images", 4: "menu", 5: "dialog", 6: "strings",
                  10: "data", 14: "icon group", 16: "version", 24: "manifest"}


def resource_types(path):
    """Bytes of resource data by resource type, largest first (directories apart)."""
    import struct
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    table = pe + 24 + optional_size
    for index in range(sections_count):
        header = table + 40 * index
        name = data[header:header + 8].rstrip(b"\0")
        if name == b".rsrc":
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
            break
    else:
        return []
    rsrc = data[raw_offset:raw_offset + raw_size]

    def entries(offset):
        named, numbered = struct.unpack_from("<HH", rsrc, offset + 12)
        for k in range(named + numbered):
            ident, target = struct.unpack_from("<II", rsrc, offset + 16 + 8 * k)
            yield ident, target

    def leaf_bytes(target):
        if target & 0x80000000:
            return sum(leaf_bytes(t) for _, t in entries(target & 0x7FFFFFFF))
        return struct.unpack_from("<I", rsrc, target + 4)[0]

    sizes = []
    total = 0
    for ident, target in entries(0):
        size = leaf_bytes(target)
        total += size
        label = RESOURCE_TYPES.get(ident, str(ident)) if not ident & 0x80000000 else "named type"
        sizes.append((label, size))
    sizes.append(("directories and padding", virtual_size - total))
    return sorted(sizes, key=lambda item: -item[1])


def same_file(a, b):
    if not os.path.isfile(b) or os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, "rb") as left, open(b, "rb") as right:
        while True:
            chunk = left.read(4 * MiB)
            if chunk != right.read(4 * MiB):
                return False
            if not chunk:
                return True


def main():
    arguments = sys.argv[1:]
    run32 = "--no-i686" not in arguments
    arguments = [a for a in arguments if a != "--no-i686"]
    figures = None
    if "--figures" in arguments[:-1]:
        at = arguments.index("--figures")
        figures = {int(number) for number in arguments[at + 1].split(",")}
        del arguments[at:at + 2]
    if len(arguments) != 2:
        sys.exit("usage: bench.py BUILD_X86_64 BUILD_I686 [--no-i686] [--figures 2,6]")
    Bench(arguments[0], arguments[1], run32, figures).all()


if __name__ == "__main__":
    main()
