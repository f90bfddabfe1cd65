#!/usr/bin/env python3
"""Benchmarks of setup.exe under Wine; prints one table of figures.

    bench/bench.py BUILD_X86_64 BUILD_I686

Runs inside scripts/session.sh (WINEPREFIX set, a warm wineserver). Every figure
is the median of several runs; a comparison alternates the two sides round by
round and takes the median of the per-round ratios. Benchmarks print numbers:
nothing here fails on slowness. A figure whose pieces are missing or whose
program fails is printed as "n/a" with the reason.
"""

import glob
import os
import shutil
import statistics
import subprocess
import sys
import time

MiB = 1024 * 1024
WINE = "/usr/lib/wine/wine64"
RUN_TIMEOUT = 300  # seconds; a hung program becomes "n/a", not a hung bench

EXTRACT_ROUNDS = 5
MEMORY_ROUNDS = 3
STARTUP_ROUNDS = 10
INSTALL_ROUNDS = 5
SAMPLE_INTERVAL = 0.002  # seconds between two reads of smaps_rollup

# Package entry flags of the bundles: per machine, the command line's UI level.
BUNDLE_FLAGS = "9"
RANDOM_CODE = "{6B1F3C2A-8E4D-4A5B-9C7E-0F1A2B3C4D5E}"
SMALL_CODE = "{2C7E9A41-5B3D-4F60-8A1C-9D2E3F405162}"
SMALL_NAME = "BenchSmall"


class NotAvailable(Exception):
    """A figure that cannot be measured in this tree or this run."""


class Bench:
    def __init__(self, build64, build32):
        self.build64 = os.path.abspath(build64)
        self.build32 = os.path.abspath(build32)
        self.source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        prefix = os.environ.get("WINEPREFIX")
        if not prefix:
            sys.exit("bench: run inside scripts/session.sh (WINEPREFIX is not set)")
        self.unix_work = os.path.join(prefix, "drive_c", "bench")
        self.temp_dirs = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp"))
        self.rows = []
        self.bundles = set()  # made in this run

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
        """Runs one Windows program; returns (seconds, exit code, output)."""
        start = time.perf_counter()
        try:
            done = subprocess.run([WINE] + args, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                                  stderr=subprocess.STDOUT if capture else subprocess.DEVNULL,
                                  timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise NotAvailable(f"{os.path.basename(args[0])} did not end within {RUN_TIMEOUT} s")
        seconds = time.perf_counter() - start
        output = done.stdout.decode(errors="replace").strip() if capture else ""
        return seconds, done.returncode, output

    def run_ok(self, args, what):
        seconds, code, output = self.run(args, capture=True)
        if code != 0:
            raise NotAvailable(f"{what} exited with {code}" + (f": {output[-200:]}" if output else ""))
        return seconds

    def sample_memory(self, args):
        """Runs one Windows program and samples the memory of its process.

        wine64 becomes the process that runs the program (same PID), so its
        /proc/PID/smaps_rollup is read every SAMPLE_INTERVAL until it ends.
        Returns the peaks of Anonymous and Private_Dirty in KiB and the exit code.
        """
        process = subprocess.Popen([WINE] + args, stdin=subprocess.DEVNULL,
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

    def random_file(self, name, size):
        path = self.work(name)
        if not (os.path.isfile(path) and os.path.getsize(path) == size):
            with open(path, "wb") as out:
                left = size
                while left:
                    chunk = min(left, 4 * MiB)
                    out.write(os.urandom(chunk))
                    left -= chunk
        return path

    def bundle(self, name, package, code=None, version=None):
        """setup.exe carrying one package, made by the packer from the stub."""
        packer = self.program(self.build64, "bin", "setuppack.exe")
        stub = self.stub_path(self.build64)
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

    def fresh_folder(self, name):
        path = self.work(name)
        shutil.rmtree(path, ignore_errors=True)
        return path

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
        kind = os.path.basename(stub) + ("" if stub.endswith("setupstub.exe") else " (no payload)")
        note = "goal <= 48 KiB" if arch == "i686" else ""
        self.add(f"1 size {arch}", f"{total} B = {total / 1024:.1f} KiB", f"{kind}, stripped; {note}".rstrip("; "))
        for name, size, file_size in self.sections(arch, stripped, total):
            self.add("", f"  {name:<7} {size:>6} B", f"{file_size // 1024} KiB in the file")

    @staticmethod
    def sections(arch, path, total):
        """(name, size, bytes the section takes in the file) for each section."""
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
            result.append((name, size, file_size))
        return result

    # --- 2: extraction throughput --------------------------------------------------

    def extraction(self):
        copier = self.program(self.build64, "bench", "benchcopy.exe")
        self.program(self.build64, "bin", "setuppack.exe")
        package = self.random_file("random256.msi", 256 * MiB)
        bundle = self.bundle("random256.exe", package, RANDOM_CODE, "1.0.0.0")
        extract_dir = self.work("extracted")
        copy_dir = self.work("copied")
        extract = [bundle, "/extract", self.win(extract_dir)]
        copy = [copier, self.win(package), self.win(os.path.join(copy_dir, "random256.msi"))]

        def timed(args, folder, what):
            # Both sides start from an empty target folder (the copy needs it to
            # exist) and with earlier writes on the disk.
            shutil.rmtree(folder, ignore_errors=True)
            if args is copy:
                os.makedirs(folder)
            os.sync()
            return self.run_ok(args, what)

        timed(extract, extract_dir, "setup.exe /extract")  # warm the caches
        if not same_file(package, os.path.join(extract_dir, "random256.msi")):
            raise NotAvailable("the extracted file differs from the package")
        timed(copy, copy_dir, "benchcopy")
        times = {"extract": [], "copy": []}
        ratios = []
        for round_number in range(EXTRACT_ROUNDS):
            order = ["extract", "copy"] if round_number % 2 == 0 else ["copy", "extract"]
            for side in order:
                if side == "extract":
                    times[side].append(timed(extract, extract_dir, "setup.exe /extract"))
                else:
                    times[side].append(timed(copy, copy_dir, "benchcopy"))
            ratios.append(times["extract"][-1] / times["copy"][-1])
        shutil.rmtree(extract_dir, ignore_errors=True)
        shutil.rmtree(copy_dir, ignore_errors=True)
        extract_time = statistics.median(times["extract"])
        copy_time = statistics.median(times["copy"])
        self.add("2 extraction 256 MiB", f"/extract {extract_time:.3f} s = {256 / extract_time:.0f} MiB/s",
                 f"median of {EXTRACT_ROUNDS}")
        self.add("", f"CopyFileW {copy_time:.3f} s = {256 / copy_time:.0f} MiB/s", f"median of {EXTRACT_ROUNDS}")
        self.add("", f"ratio {statistics.median(ratios):.2f}x",
                 f"median of per-round ratios, alternating; goal <= 1.1x (rounds: "
                 + " ".join(f"{r:.2f}" for r in ratios) + ")")

    # --- 3: memory -----------------------------------------------------------------

    def memory(self):
        self.program(self.build64, "bin", "setuppack.exe")
        packages = {16: self.random_file("random16.msi", 16 * MiB),
                    256: self.random_file("random256.msi", 256 * MiB)}
        bundles = {mib: self.bundle(f"random{mib}.exe", path, RANDOM_CODE, "1.0.0.0")
                   for mib, path in packages.items()}
        peaks = {mib: ([], []) for mib in packages}
        out = self.work("extracted")
        for round_number in range(MEMORY_ROUNDS):
            order = [16, 256] if round_number % 2 == 0 else [256, 16]
            for mib in order:
                shutil.rmtree(out, ignore_errors=True)
                anonymous, dirty, code, samples = self.sample_memory(
                    [bundles[mib], "/extract", self.win(out)])
                if code != 0:
                    raise NotAvailable(f"setup.exe /extract ({mib} MiB) exited with {code}")
                peaks[mib][0].append(anonymous)
                peaks[mib][1].append(dirty)
        shutil.rmtree(out, ignore_errors=True)
        anonymous = {mib: statistics.median(values[0]) for mib, values in peaks.items()}
        dirty = {mib: statistics.median(values[1]) for mib, values in peaks.items()}
        for mib in packages:
            self.add(f"3 memory /extract {mib} MiB",
                     f"peak Anonymous {anonymous[mib]:.0f} KiB, Private_Dirty {dirty[mib]:.0f} KiB",
                     f"median of {MEMORY_ROUNDS} peaks")
        difference = anonymous[256] - anonymous[16]
        self.add("", f"difference {difference:+.0f} KiB Anonymous, {dirty[256] - dirty[16]:+.0f} KiB Private_Dirty",
                 "goal < 1024 KiB; /proc/PID/smaps_rollup of the wine process running setup.exe, "
                 f"read every {SAMPLE_INTERVAL * 1000:.0f} ms")

    # --- 4: start-up -----------------------------------------------------------------

    def startup(self):
        nothing = self.program(self.build64, "bench", "benchnothing.exe")
        self.program(self.build64, "bin", "setuppack.exe")
        package = self.random_file("tiny.msi", 4096)
        bundle = self.bundle("tiny.exe", package, RANDOM_CODE, "1.0.0.0")
        out = self.work("tiny-out")
        extract = [bundle, "/extract", self.win(out)]
        self.run_ok(extract, "setup.exe /extract")  # warm
        self.run_ok([nothing], "benchnothing")
        times = {"setup": [], "nothing": []}
        ratios = []
        for round_number in range(STARTUP_ROUNDS):
            order = ["setup", "nothing"] if round_number % 2 == 0 else ["nothing", "setup"]
            for side in order:
                if side == "setup":
                    shutil.rmtree(out, ignore_errors=True)
                    times[side].append(self.run_ok(extract, "setup.exe /extract"))
                else:
                    times[side].append(self.run_ok([nothing], "benchnothing"))
            ratios.append(times["setup"][-1] / times["nothing"][-1])
        shutil.rmtree(out, ignore_errors=True)
        setup_time = statistics.median(times["setup"])
        nothing_time = statistics.median(times["nothing"])
        self.add("4 start-up", f"/extract 4 KiB {setup_time * 1000:.0f} ms, do-nothing {nothing_time * 1000:.0f} ms",
                 f"medians of {STARTUP_ROUNDS}, same warm wineserver")
        self.add("", f"ratio {statistics.median(ratios):.2f}x, difference {(setup_time - nothing_time) * 1000:+.0f} ms",
                 "median of per-round ratios, alternating")

    # --- 5: installer overhead ---------------------------------------------------------

    def installer(self):
        direct = self.program(self.build64, "bench", "benchmsi.exe")
        make_msi = os.path.join(self.source, "scripts", "make-msi.sh")
        if not os.path.isfile(make_msi):
            raise NotAvailable("scripts/make-msi.sh does not exist yet")
        package = self.work("benchsmall.msi")
        subprocess.run([make_msi, package, "--name", SMALL_NAME, "--code", SMALL_CODE], check=True)
        bundle = self.bundle("benchsmall.exe", package)
        log = self.work("direct.log")
        sides = {
            "setup install": [bundle, "/quiet"],
            "setup remove": [bundle, "/uninstall", "/quiet"],
            "direct install": [direct, "2", self.win(package), ""],
            "direct remove": [direct, "2", self.win(package), " REMOVE=ALL"],
            "direct+log install": [direct, "2", self.win(package), "", self.win(log)],
            "direct+log remove": [direct, "2", self.win(package), " REMOVE=ALL", self.win(log)],
        }
        groups = [["setup install", "setup remove"], ["direct install", "direct remove"],
                  ["direct+log install", "direct+log remove"]]
        self.run(sides["direct remove"])  # a product left by an interrupted run
        for group in groups:  # warm
            for side in group:
                self.run_ok(sides[side], side)
        times = {side: [] for side in sides}
        for round_number in range(INSTALL_ROUNDS):
            order = groups[round_number % 3:] + groups[:round_number % 3]
            for group in order:
                for side in group:
                    times[side].append(self.run_ok(sides[side], side))
                self.remove_default_logs("benchsmall")
        for verb in ("install", "remove"):
            setup_times = times[f"setup {verb}"]
            ratios = [s / d for s, d in zip(setup_times, times[f"direct {verb}"])]
            log_ratios = [s / d for s, d in zip(setup_times, times[f"direct+log {verb}"])]
            switches = "/quiet" if verb == "install" else "/uninstall /quiet"
            self.add(f"5 installer {verb}",
                     f"setup.exe {switches} {statistics.median(setup_times):.3f} s, "
                     f"direct {statistics.median(times[f'direct {verb}']):.3f} s, "
                     f"direct+log {statistics.median(times[f'direct+log {verb}']):.3f} s",
                     f"medians of {INSTALL_ROUNDS}, UI level 2, same package and command line")
            self.add("", f"ratio {statistics.median(ratios):.2f}x to direct, "
                         f"{statistics.median(log_ratios):.2f}x to direct+log",
                     "median of per-round ratios; goal <= 1.05x; direct+log also enables the same log "
                     "(mode 0x1FDF) that setup.exe always writes")

    def all(self):
        os.makedirs(self.unix_work, exist_ok=True)
        started = time.monotonic()
        self.size()
        self.figure("2 extraction 256 MiB", self.extraction)
        self.figure("3 memory", self.memory)
        self.figure("4 start-up", self.startup)
        self.figure("5 installer", self.installer)
        self.print_table()
        print(f"(bench took {time.monotonic() - started:.0f} s)")


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
    if len(sys.argv) != 3:
        sys.exit("usage: bench.py BUILD_X86_64 BUILD_I686")
    Bench(sys.argv[1], sys.argv[2]).all()


if __name__ == "__main__":
    main()
