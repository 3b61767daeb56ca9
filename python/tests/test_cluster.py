"""python3 -m qzr.cluster: a tree converted on a local cluster, and on a
real one (a scheduler and two worker processes over TCP on 127.0.0.1) that
loses a worker to SIGKILL mid-run, every output exact; and what it does as
qzr convert does: skips, collisions, messages, modes, signals."""
import io
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from support import SAMPLES, need, run_qzrdec

np = need("numpy")
Image = need("PIL.Image")
qzr = need("qzr")
cluster = need("qzr.cluster")
need("distributed")

DAMAGED = {"broken/cut.qzr", "broken/flipped.qzr"}


def make_tree(root: Path, copies: int) -> dict:
    """A tree of QZR files: the samples, a larger picture many times over in
    nested directories, two damaged files and a file of another kind.
    Returns {relative path: data}."""
    coffee = (SAMPLES / "coffee.qzr").read_bytes()
    tile = qzr.decode(coffee)
    large = qzr.encode(np.tile(tile, (3, 2, 1)), quality=80)  # 1200 x 1200
    files = {f"samples/{p.name}": p.read_bytes() for p in SAMPLES.glob("*.qzr")}
    files.update({f"large/{i % 4}/{i}.qzr": large for i in range(copies)})
    flipped = bytearray(coffee)
    flipped[40] ^= 0x10
    files.update({"broken/cut.qzr": coffee[:100], "broken/flipped.qzr": bytes(flipped)})
    for name, data in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    (root / "samples" / "notes.txt").write_text("not a picture")
    return files


def expected_bmps(files: dict, directory: Path) -> dict:
    """qzrdec's BMP for each distinct good file, by content."""
    out = {}
    for data in set(files.values()):
        status, _, bmp = run_qzrdec(data, directory)
        if status == 0:
            out[data] = bmp
    return out


def check_outputs(files: dict, out: Path, fmt: str, bmps: dict):
    made = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    good = [n for n in files if n not in DAMAGED]
    assert made == sorted(n[:-4] + "." + fmt for n in good)  # and no temporaries
    for name in good:
        target = out / (name[:-4] + "." + fmt)
        bmp = bmps[files[name]]
        if fmt == "bmp":
            assert target.read_bytes() == bmp, name
        else:
            with Image.open(target) as png, Image.open(io.BytesIO(bmp)) as reference:
                assert np.array_equal(np.asarray(png), np.asarray(reference.convert("RGB"))), name


def check_summary(text: str, converted: int):
    """The summary on standard error, after a line for each damaged file."""
    lines = text.strip().splitlines()
    assert lines[-1] == f"{converted} converted, 0 skipped, 2 failed"
    named = sorted(line.split(": ", 1) for line in lines[:-1] if ".qzr: " in line)
    assert [Path(n).as_posix().split("src/", 1)[1] for n, _ in named] == sorted(DAMAGED)
    assert all(message.strip() for _, message in named)


def python_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def test_local_cluster_to_png(tmp_path):
    files = make_tree(tmp_path / "src", copies=3)
    r = subprocess.run([sys.executable, "-m", "qzr.cluster", str(tmp_path / "src"), str(tmp_path / "out"),
                        "--workers", "2", "-f", "png"], env=python_env(), capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 1, r.stderr
    check_summary(r.stderr, len(files) - 2)
    check_outputs(files, tmp_path / "out", "png", expected_bmps(files, tmp_path))


def test_write_atomically_leaves_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "deep" / "er" / "a.bmp"
    cluster._write_atomically(target, b"first", 0o640, ".qzr-run-")
    cluster._write_atomically(target, b"second", 0o604, ".qzr-run-")
    assert target.read_bytes() == b"second" and os.listdir(target.parent) == ["a.bmp"]
    assert target.stat().st_mode & 0o777 == 0o604  # the mode asked for, whatever this process's umask
    # The longest name a directory holds: its temporary's is short.
    longest = tmp_path / ("n" * 251 + ".bmp")
    cluster._write_atomically(longest, b"long", 0o644, ".qzr-run-")
    assert longest.read_bytes() == b"long"

    def full_disk(*_):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", full_disk)
    with pytest.raises(OSError):
        cluster._write_atomically(target, b"third", 0o644, ".qzr-run-")
    assert target.read_bytes() == b"second" and os.listdir(target.parent) == ["a.bmp"]


def run_cluster(args, directory: Path, umask: int = 0o022):
    """The command in directory with that umask: (exit status, the lines it
    printed about files and the summary)."""
    r = subprocess.run([sys.executable, "-m", "qzr.cluster", *args, "--workers", "1"], cwd=directory,
                       env=python_env(), capture_output=True, text=True, timeout=120,
                       preexec_fn=lambda: os.umask(umask))
    lines = [line for line in r.stderr.splitlines() if not line.startswith((" ", "Traceback"))]
    return r.returncode, [line for line in lines if line.startswith(("src", "nothing", "out")) or "converted" in line]


def test_the_same_job_as_qzr_convert(tmp_path):
    """Collisions and a file named twice, found before anything is written;
    a missing input, a damaged file named in its message, an output that
    exists, a link to a folder and one making a loop; modes from the umask."""
    coffee, astronaut = (SAMPLES / "coffee.qzr").read_bytes(), (SAMPLES / "astronaut.qzr").read_bytes()
    src, out = tmp_path / "src", tmp_path / "out"
    for name, data in {"a/x.qzr": coffee, "a/X.qzr": coffee, "b.qzr": coffee, "b.QZR": astronaut,
                       "c.qzr": astronaut, "short.qzr": coffee[:20], "e.qzr": coffee, "d/plain.txt": b"",
                       "../elsewhere/f.qzr": coffee, "../out/e.png": b"placeholder"}.items():
        (src / name).parent.mkdir(parents=True, exist_ok=True)
        (src / name).write_bytes(data)
    (src / "d" / "up").symlink_to("..")
    (src / "link").symlink_to("../elsewhere")

    status, lines = run_cluster(["src", "src/c.qzr", "nothing", "out", "-f", "PNG"], tmp_path, umask=0o027)
    assert status == 1
    case = "not converted: its output out/a/{}.png and src/a/{}.qzr's, out/a/{}.png, differ only in letter case"
    assert lines == ["nothing: no such file or directory",
                     "src/a/X.qzr: " + case.format("X", "x", "x"),
                     "src/a/x.qzr: " + case.format("x", "X", "X"),
                     "src/b.QZR: not converted: src/b.qzr has the same output, out/b.png",
                     "src/b.qzr: not converted: src/b.QZR has the same output, out/b.png",
                     "src/short.qzr: error reading QZR header from file src/short.qzr !",
                     "2 converted, 1 skipped, 6 failed"]
    made = sorted(str(p.relative_to(out)) for p in out.rglob("*") if p.is_file())
    assert made == ["c.png", "e.png", "link/f.png"]  # and no temporaries
    assert (out / "e.png").read_bytes() == b"placeholder"
    for name, data in (("c.png", astronaut), ("link/f.png", coffee)):
        assert (out / name).stat().st_mode & 0o777 == 0o640
        with Image.open(out / name) as png:
            assert np.array_equal(np.asarray(png), qzr.decode(data))

    # --force rewrites an output, but never one that is an input.
    (out / "g.png").write_bytes(coffee)
    status, lines = run_cluster(["src/e.qzr", "out/g.png", "out", "--force"], tmp_path)
    assert lines == ["out/g.png: not converted: its output out/g.png is the input out/g.png",
                     "1 converted, 0 skipped, 1 failed"]
    assert status == 1 and (out / "g.png").read_bytes() == coffee
    with Image.open(out / "e.png") as png:
        assert png.format == "PNG" and np.array_equal(np.asarray(png), qzr.decode(coffee))


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_signal_ends_the_run_without_temporaries(tmp_path):
    files = make_tree(tmp_path / "src", copies=30)
    out = tmp_path / "out"
    run = subprocess.Popen([sys.executable, "-m", "qzr.cluster", "src", "out", "--workers", "1", "-f", "bmp"],
                           cwd=tmp_path, env=python_env(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        wait_for(lambda: any(out.glob("large/*/*.bmp")), 60, "the first output")
        run.send_signal(signal.SIGTERM)
        assert run.wait(60) == 128 + signal.SIGTERM
    finally:
        if run.poll() is None:
            run.kill()
        run.wait(10)
    made = [p for p in out.rglob("*") if p.is_file()]
    assert len(made) < len(files) - 2, "the run ended before the signal"
    assert all(p.suffix == ".bmp" for p in made), made  # no temporary


def test_usage_errors():
    for args in (["out"], ["src", "out", "-f", "gif"], ["src", "out", "--workers", "0"]):
        with pytest.raises(SystemExit) as e:
            cluster.main(args)
        assert e.value.code == 2, args


def start(args, log: Path):
    return subprocess.Popen(args, env=python_env(), stdin=subprocess.DEVNULL, stdout=log.open("wb"),
                            stderr=subprocess.STDOUT, start_new_session=True)


def wait_for(condition, seconds: float, what: str):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.01)


def scheduler_address(scheduler_file: Path):
    """The address in the scheduler's file, once it is whole."""
    try:
        return json.loads(scheduler_file.read_text())["address"]
    except (OSError, ValueError, KeyError):
        return None


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # the Debian Tornado's, inside distributed
def test_real_cluster_loses_a_worker(tmp_path):
    files = make_tree(tmp_path / "src", copies=40)
    bmps = expected_bmps(files, tmp_path)
    dask = [sys.executable, "-m", "dask"]  # the dask command, on this Python
    scheduler_file = tmp_path / "scheduler.json"
    processes = [start(dask + ["scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                               "--scheduler-file", str(scheduler_file)], tmp_path / "scheduler.log")]
    try:
        wait_for(lambda: scheduler_address(scheduler_file), 30, "the scheduler")
        address = scheduler_address(scheduler_file)
        assert address.startswith("tcp://127.0.0.1:")
        worker = dask + ["worker", address, "--host", "127.0.0.1",
                  "--nthreads", "1", "--no-nanny", "--no-dashboard"]
        workers = [start(worker, tmp_path / f"worker{i}.log") for i in range(2)]
        processes += workers
        from distributed import Client

        with Client(address, timeout=30) as c:
            c.wait_for_workers(2, timeout=30)

        out = tmp_path / "out"
        run = subprocess.Popen([sys.executable, "-m", "qzr.cluster", str(tmp_path / "src"), str(out),
                                "--scheduler", address, "-f", "bmp"], env=python_env(), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        processes.append(run)
        wait_for(lambda: len(list(out.glob("large/*/*.bmp"))) >= 4, 60, "the first outputs")
        os.kill(workers[0].pid, signal.SIGKILL)
        done_at_kill = len(list(out.rglob("*.bmp")))
        stdout, stderr = run.communicate(timeout=120)
        assert workers[0].wait(5) == -signal.SIGKILL
        assert done_at_kill < len(files) - 2, "the run ended before the worker was lost"
        assert run.returncode == 1, stderr
        check_summary(stderr, len(files) - 2)
        check_outputs(files, out, "bmp", bmps)
        assert "Remove worker" in (tmp_path / "scheduler.log").read_text()
    finally:
        for p in processes:
            if p.poll() is None:
                p.kill()
                p.wait(10)
