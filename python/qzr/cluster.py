"""Converts QZR files on a Dask cluster, as `qzr convert -r -o OUT_DIR` does
on one machine.

    python3 -m qzr.cluster INPUT... OUT_DIR [--force] [--scheduler ADDRESS] [--workers N] [-f png|bmp]

An INPUT is a file or a directory; a directory gives the .qzr files (the
extension in any case) of its whole tree, following symbolic links to
directories but never into a directory twice. Each file becomes OUT_DIR/<its
path below the directory given> (a file given by itself: OUT_DIR/<its name>)
with the extension replaced, one task per file, on the scheduler at ADDRESS
or on a local cluster of N worker processes. Inputs and OUT_DIR must be the
same paths on every worker (a shared file system).

An output that exists is skipped, --force rewrites it. Inputs whose outputs
would be the same file, or differ only in letter case, are none of them
converted; the same file named twice is converted once. Each output is
written under a short temporary name in its own directory, with the mode the
umask gives, synced and renamed, so that a name holds a whole picture or
nothing; a task whose worker is lost is run again elsewhere. Failures go to
standard error as "FILE: message", with qzrdec's message for a damaged file,
then "N converted, M skipped, K failed"; the exit status is 1 when a file
failed, 2 for a usage error, 128 + its number when a signal ended the run
(which removes its temporaries first).
"""
import argparse
import contextlib
import io
import os
import secrets
import signal
import sys
from pathlib import Path
from typing import NamedTuple

from distributed import Client, LocalCluster, as_completed
from PIL import Image

import qzr

FORMATS = ("png", "bmp")


class Job(NamedTuple):
    """One file: where it is and where its output goes, absolute for the
    workers, and both as the command line gave them, for messages."""

    source: str
    target: str
    name: str
    target_name: str


def _write_atomically(path: Path, data: bytes, mode: int, prefix: str) -> None:
    """Writes path whole with the given mode: under a temporary name beginning
    with prefix beside it, synced, then renamed."""
    path.parent.mkdir(parents=True, exist_ok=True)
    while True:
        temp = path.parent / (prefix + secrets.token_hex(4))
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            os.fchmod(f.fileno(), mode)  # the client's umask, not the worker's
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


def convert_file(job: Job, fmt: str, mode: int, prefix: str):
    """One task: decodes the job's source and writes its target. Returns
    None, or the message for a damaged file or a failed read or write."""
    try:
        data = Path(job.source).read_bytes()
    except OSError as e:
        return f"cannot read: {e.strerror or e}"
    try:
        pixels = qzr.decode(data, name=job.name)
    except qzr.Error as e:
        return str(e)
    try:
        _write_atomically(Path(job.target), _encoded(pixels, fmt), mode, prefix)
    except OSError as e:
        return f"cannot write {job.target_name}: {e.strerror or e}"
    return None


def _identity(path: str):
    """What tells two names of one file apart from two files: the device and
    inode, or the path of a file that cannot be looked at."""
    try:
        st = os.stat(path)
    except OSError:
        return path
    return st.st_dev, st.st_ino


def _tree(top: str):
    """The files under top, following links to directories, none of which is
    entered twice (a link to a directory above it would be a loop)."""
    seen = set()
    for directory, subdirectories, files in os.walk(top, followlinks=True):
        identity = _identity(directory)
        if identity in seen:
            subdirectories.clear()
            continue
        seen.add(identity)
        yield from (os.path.join(directory, f) for f in files)


def collect(inputs, out_dir: str, fmt: str):
    """(jobs, missing inputs): the .qzr files the inputs name, each
    directory's in name order, and the inputs that do not exist."""
    jobs, missing = [], []
    for given in inputs:
        if os.path.isdir(given):
            found = [(os.path.relpath(f, given), f) for f in _tree(given)
                     if os.path.splitext(f)[1].lower() == ".qzr" and os.path.isfile(f)]
        elif os.path.exists(given):
            found = [(os.path.basename(given), given)]
        else:
            missing.append(given)
            continue
        for relative, name in sorted(found):
            target_name = os.path.splitext(os.path.join(out_dir, relative))[0] + "." + fmt
            jobs.append(Job(os.path.abspath(name), os.path.abspath(target_name), name, target_name))
    return jobs, missing


def refused(jobs):
    """(jobs to run, {job: why not}): a file named twice for the same output
    is kept once; inputs whose outputs are the same path, or differ only in
    letter case, are refused, all of them."""
    kept, by_output = {}, {}
    for job in jobs:
        key = (_identity(job.source), job.target)
        if key not in kept:
            kept[key] = job
            by_output.setdefault(job.target.casefold(), []).append(job)
    why = {}
    for group in by_output.values():
        for job in group:
            other = next((o for o in group if o is not job), None)
            if other is None:
                continue
            if other.target == job.target:
                why[job] = f"not converted: {other.name} has the same output, {job.target_name}"
            else:
                why[job] = (f"not converted: its output {job.target_name} and {other.name}'s, "
                            f"{other.target_name}, differ only in letter case")
    return [job for job in kept.values() if job not in why], why


def replacing_an_input(jobs):
    """{job: why not} for the jobs whose output is one of the inputs, which
    --force would replace."""
    inputs = {_identity(job.source): job for job in jobs}
    why = {}
    for job in jobs:
        replaced = inputs.get(_identity(job.target)) if os.path.exists(job.target) else None
        if replaced is not None:
            why[job] = f"not converted: its output {job.target_name} is the input {replaced.name}"
    return why


def _report(name: str, message: str) -> None:
    """A failure as qzr convert prints it: each line of the message after the file's name."""
    for line in message.splitlines():
        if line:
            print(f"{name}: {line}", file=sys.stderr)


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _remove_stale_temporaries(jobs, prefix: str) -> None:
    """Temporaries of tasks whose worker died while writing."""
    for directory in {Path(job.target).parent for job in jobs}:
        for temp in directory.glob(prefix + "*"):
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
    jobs, missing = collect(args.inputs, args.out_dir, args.format)
    for name in missing:
        _report(name, "no such file or directory")
    work, why = refused(jobs)
    if args.force:
        why.update(replacing_an_input(work))
    for job, message in why.items():
        _report(job.name, message)
    failed = len(missing) + len(why)
    there = set() if args.force else {job for job in work if os.path.exists(job.target)}
    work = [job for job in work if job not in why and job not in there]
    mode, prefix = 0o666 & ~_umask(), f".qzr-{secrets.token_hex(3)}-"
    failures = []
    try:
        if work:
            with _client(args) as client:
                futures = client.map(convert_file, work, fmt=args.format, mode=mode, prefix=prefix, pure=False)
                names = {future.key: job.name for future, job in zip(futures, work)}
                for future in as_completed(futures):
                    try:
                        message = future.result()
                    except Exception as e:  # a task lost on too many workers
                        message = f"{type(e).__name__}: {e}"
                    if message is not None:
                        failures.append((names[future.key], message))
    finally:  # also when a signal ends the run
        _remove_stale_temporaries(work, prefix)
    for name, message in sorted(failures):
        _report(name, message)
    failed += len(failures)
    print(f"{len(work) - len(failures)} converted, {len(there)} skipped, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


def _ended_by(signal_number, _frame):
    raise SystemExit(128 + signal_number)


def _count(text: str) -> int:
    n = int(text)
    if n < 1:
        raise argparse.ArgumentTypeError(f"{n} is not a positive number")
    return n


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python3 -m qzr.cluster",
                                description="Convert QZR files, and the .qzr files of whole directory trees, "
                                            "into OUT_DIR on a Dask cluster.")
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="QZR files, or directories of them")
    p.add_argument("out_dir", metavar="OUT_DIR")
    p.add_argument("--force", action="store_true", help="rewrite outputs that exist (default: skip them)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://host:8786")
    p.add_argument("--workers", type=_count, default=os.cpu_count() or 1, metavar="N",
                   help="worker processes of the local cluster when no scheduler is given (default: the cores)")
    p.add_argument("-f", "--format", choices=FORMATS, type=str.lower, default="png")
    args = p.parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


if __name__ == "__main__":
    # The tasks' functions and their Job from the module qzr.cluster, which
    # the workers import, not from __main__, which they would be sent as.
    from qzr import cluster

    # As qzr convert: a signal ends the run with 128 + its number, after the
    # temporaries are removed.
    for ending in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(ending, cluster._ended_by)
    sys.exit(cluster.main())
