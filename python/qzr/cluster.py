"""Converts a tree of QZR files on a Dask cluster.

    python3 -m qzr.cluster SRC_DIR OUT_DIR [--scheduler ADDRESS] [--workers N] [-f png|bmp]

Every .qzr file under SRC_DIR becomes OUT_DIR/<same relative path> with the
extension replaced, one task per file, on the scheduler at ADDRESS or on a
local cluster of N worker processes. Both directories must be the same path
on every worker (a shared file system). Each output is written under a
temporary name in its own directory, synced and renamed, so that a name
holds a whole picture or nothing; a task whose worker is lost is run again
elsewhere. Damaged files are named, with qzrdec's message, before the
summary; the exit status is then 1.
"""
import argparse
import contextlib
import io
import os
import sys
import tempfile
from pathlib import Path

from distributed import Client, LocalCluster, as_completed
from PIL import Image

import qzr

FORMATS = ("png", "bmp")
_TEMP_SUFFIX = ".qzr-part"


def _write_atomically(path: Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(dir=path.parent, prefix="." + path.name + ".", suffix=_TEMP_SUFFIX)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise
    directory = os.open(path.parent, os.O_RDONLY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)


def _encoded(pixels, fmt: str) -> bytes:
    if fmt == "bmp":
        return qzr.to_bmp(pixels)
    out = io.BytesIO()
    Image.fromarray(pixels, "RGB").save(out, format="PNG", compress_level=1)
    return out.getvalue()


def convert_file(source: str, target: str, fmt: str):
    """One task: decodes source and writes target. Returns None, or the
    message for a damaged file or a failed write."""
    try:
        pixels = qzr.decode(Path(source).read_bytes())
        _write_atomically(Path(target), _encoded(pixels, fmt))
    except (qzr.Error, OSError) as e:
        return str(e)
    return None


def jobs(source_dir: Path, out_dir: Path, fmt: str):
    """(source, target) for every .qzr file under source_dir, in name order."""
    for source in sorted(source_dir.rglob("*")):
        if source.suffix.lower() == ".qzr" and source.is_file():
            yield source, (out_dir / source.relative_to(source_dir)).with_suffix("." + fmt)


def _remove_stale_temporaries(targets) -> None:
    """Temporaries of tasks whose worker died while writing."""
    for target in targets:
        for temp in target.parent.glob("." + target.name + ".*" + _TEMP_SUFFIX):
            temp.unlink(missing_ok=True)


@contextlib.contextmanager
def _client(args):
    if args.scheduler:
        with Client(args.scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def run(args) -> int:
    source_dir, out_dir = Path(args.src_dir).resolve(), Path(args.out_dir).resolve()
    if not source_dir.is_dir():
        print(f"qzr.cluster: {args.src_dir} is not a directory", file=sys.stderr)
        return 2
    work = list(jobs(source_dir, out_dir, args.format))
    failed = []
    with _client(args) as client:
        futures = client.map(convert_file, [str(s) for s, _ in work], [str(t) for _, t in work],
                             fmt=args.format, pure=False)
        names = {f.key: os.path.join(args.src_dir, s.relative_to(source_dir)) for f, (s, _) in zip(futures, work)}
        for future in as_completed(futures):
            try:
                message = future.result()
            except Exception as e:  # a task lost on too many workers
                message = f"{type(e).__name__}: {e}"
            if message is not None:
                failed.append((names[future.key], message))
    _remove_stale_temporaries(t for _, t in work)
    for source, message in sorted(failed):
        print(f"{source}: {message}")
    print(f"{len(work) - len(failed)} converted, {len(failed)} failed")
    return 1 if failed else 0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python3 -m qzr.cluster",
                                description="Convert every .qzr file under SRC_DIR into OUT_DIR on a Dask cluster.")
    p.add_argument("src_dir", metavar="SRC_DIR")
    p.add_argument("out_dir", metavar="OUT_DIR")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes of the local cluster when no scheduler is given (default: the cores)")
    p.add_argument("-f", "--format", choices=FORMATS, default="png")
    return run(p.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
