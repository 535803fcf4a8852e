"""What the fingerprint's files and digests cost (quarl.reads, early cutoff).

1. Planning a project whose one asset reads 10,000 files through a glob, none changed, against
   the same project without quarl.reads: `quarl run --dry-run` (inspection, plan, the read model),
   the digests coming from the history's cache (target: at most 1.3x).
2. A fully up-to-date `quarl run` of 50,000 partitions each reading one file, against the same
   run without quarl.reads (target: at most 1.5x).
3. The digest of a 50 MB value (sha256, in the run's process) against its publication on the
   disk: the value written (its bytes as they are, or a DataFrame through the parquet
   serializer), flushed with its folder, renamed (target: at most 0.15).

    python bench/bench_freshness.py [--quick]

--quick runs a tenth of 1 and 2. The projects live on the disk (/tmp): the files that runs read
are where users keep them.
"""

import hashlib
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import report  # noqa: E402

PY = sys.executable
QUICK = "--quick" in sys.argv

LISTER = """\
import quarl
from quarl import asset


@asset()
{reads}
def lister() -> int:
    return 1
"""

PARTITIONED = """\
import quarl
from quarl import asset, partitions


@asset(partitions={{"n": partitions(list(range({count})))}})
{reads}
def cell(n: int) -> int:
    return n
"""


def project(folder, module, files, reads, count):
    folder.mkdir(parents=True)
    data = folder / "data"
    data.mkdir()
    # Files written an hour ago, as data is: a file modified in the last two seconds may change
    # again within its timestamp, and its digest is not kept.
    settled = time.time() - 3600
    for n in range(files):
        (data / f"f{n}.csv").write_text(f"{n}\n")
        os.utime(data / f"f{n}.csv", (settled, settled))
    template = LISTER if module == "lister" else PARTITIONED
    (folder / f"{module}.py").write_text(template.format(reads=reads, count=count))
    return folder


def wall(argv, cwd, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
        times.append(time.perf_counter() - start)
        if done.returncode != 0:
            sys.exit(f"{' '.join(argv)} failed:\n{done.stderr}")
    return statistics.median(times)


def compare(root, module, files, pattern, count, command, repeat):
    """(with reads, without) medians of COMMAND, each project run once first."""
    found = []
    for name, reads in (("with", f"@quarl.reads({pattern!r})"), ("without", "")):
        folder = project(root / name, module, files, reads, count)
        subprocess.run([PY, "-m", "quarl", "run", module, "--jobs", "2"], cwd=folder, capture_output=True,
                       check=True)
        found.append(wall([PY, "-m", "quarl", *command(module)], folder, repeat))
    return found


def publication_and_digest(root, write):
    """Seconds to publish a 50 MB value on this disk (WRITE makes its file in the attempt folder),
    and to digest it."""
    from quarl import contract
    from quarl.run import layout

    publish, digest = [], []
    for n in range(5):
        attempt, published = root / f".v.attempt-{n:012x}", root / f"v{n}"
        start = time.perf_counter()
        attempt.mkdir()
        name = write(attempt)
        error = layout.publish_together([(str(attempt), str(published))])[0]
        publish.append(time.perf_counter() - start)
        assert error is None, error
        start = time.perf_counter()
        found = contract.content_digest(str(published / name))
        digest.append(time.perf_counter() - start)
        assert found == hashlib.sha256((published / name).read_bytes()).hexdigest()
        shutil.rmtree(published)
    return statistics.median(publish), statistics.median(digest)


def raw(attempt):
    (attempt / "value.bin").write_bytes(os.urandom(50 << 20))
    return "value.bin"


def frame(attempt):
    import numpy
    import pandas

    from quarl.values import PARQUET

    rows = 50 << 20 >> 4  # two float64 columns of noise: about 50 MB of parquet
    generator = numpy.random.default_rng(1)
    PARQUET.dump(pandas.DataFrame({"a": generator.random(rows), "b": generator.random(rows)}),
                  attempt / "value.parquet")
    return "value.parquet"


def main():
    scale = 10 if QUICK else 1
    with tempfile.TemporaryDirectory(prefix="quarl-bench-fresh-", dir="/tmp") as scratch:
        root = pathlib.Path(scratch)
        ours, base = compare(root / "files", "lister", 10_000 // scale, "data/*.csv", 1,
                             lambda m: ["run", m, "--dry-run"], 5)
        report(f"plan, {10_000 // scale:,} files read (glob): with / without quarl.reads "
               f"({ours:.2f} s / {base:.2f} s)", ours / base, 1.3)
        ours, base = compare(root / "parts", "cell", 50_000 // scale, "data/f{n}.csv", 50_000 // scale,
                             lambda m: ["run", m, "--jobs", "2"], 3)
        report(f"up-to-date run, {50_000 // scale:,} partitions a file each: with / without "
               f"({ours:.2f} s / {base:.2f} s)", ours / base, 1.5)
        for what, write in (("its bytes written", raw), ("a DataFrame written as parquet", frame)):
            publish, digest = publication_and_digest(root, write)
            report(f"digest of a 50 MB value / its publication on this disk, {what} "
                   f"({digest * 1e3:.0f} ms / {publish * 1e3:.0f} ms)", digest / publish, 0.15)


if __name__ == "__main__":
    main()
