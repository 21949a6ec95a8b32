"""Outputs of the command and the package: inputs are never touched, an output is whole or
absent (the old file kept) when writing fails, by a full disk or Ctrl-C, and it is
written under exactly the name given."""

import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import ornel

SCRIPT = Path(sys.executable).parent / "ornel"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "ornel"]


def ornel_command(*args, **kwargs):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=300, **kwargs)


def snapshot(directory):
    return {path.name: path.read_bytes() for path in sorted(Path(directory).iterdir()) if path.is_file()}


def one_line_error(result, *words):
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("ornel: error: ") and result.stderr.count("\n") == 1, result.stderr
    assert all(word in result.stderr for word in words), result.stderr


def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path):
    rng = np.random.default_rng(1)
    np.save(tmp_path / "a.npy", rng.random((60, 3)))
    np.save(tmp_path / "b.npy", rng.random((60, 3)))
    np.savetxt(tmp_path / "p.csv", rng.random((60, 3)), delimiter=",")
    np.savetxt(tmp_path / "q.csv", rng.random((60, 3)), delimiter=",")
    (tmp_path / "sub").mkdir()
    os.symlink(tmp_path / "b.npy", tmp_path / "link.npy")
    os.link(tmp_path / "q.csv", tmp_path / "hard.csv")
    before = snapshot(tmp_path)
    for args in (
        ["compare", "a.npy", "b.npy", "--out", "a.npy"],
        ["compare", "a.npy", "b.npy", "--out", "./b.npy"],
        ["compare", "a.npy", "b.npy", "--out", "sub/../a.npy"],
        ["compare", "a.npy", "b.npy", "--out", "link.npy"],
        ["compare", "a.npy", "link.npy", "--out", "b.npy"],
        ["matrix", "p.csv", "q.csv", "--csv", "p.csv"],
        ["matrix", "p.csv", "q.csv", "--csv", tmp_path / "hard.csv"],
    ):
        result = ornel_command(*args, cwd=tmp_path)
        one_line_error(result, f"ornel: error: {args[-1]}: is the input file ")
        assert result.stdout == ""  # refused before anything was computed
    assert snapshot(tmp_path) == before


def test_outputs_are_written_under_exactly_the_name_given(tmp_path):
    rng = np.random.default_rng(2)
    a, b = rng.random((80, 3)), rng.random((70, 3))
    np.save(tmp_path / "a.npy", a)
    np.save(tmp_path / "b.npy", b)
    for name in ("RESULT.NPY", "Result.Ply", "OUT.CSV"):
        assert ornel_command("compare", "a.npy", "b.npy", "--out", name, "--f64", cwd=tmp_path).returncode == 0
    assert {"RESULT.NPY", "Result.Ply", "OUT.CSV"} <= set(os.listdir(tmp_path))
    assert not {"RESULT.NPY.npy", "OUT.CSV.csv"} & set(os.listdir(tmp_path))
    assert np.load(tmp_path / "RESULT.NPY").shape == (80, 4)
    # A symbolic link as output: the file it names is replaced, the link stays.
    (tmp_path / "real.csv").write_text("old\n")
    os.symlink("real.csv", tmp_path / "link.csv")
    ornel.Matrix(["a", "b"], np.zeros((2, 2)), np.ones((2, 2))).to_csv(tmp_path / "link.csv")
    assert os.path.islink(tmp_path / "link.csv") and (tmp_path / "real.csv").read_text().startswith("a,b,mean_ab")
    with pytest.raises(ornel.CloudError, match="a field named 'X' would replace a coordinate"):
        ornel.write_points(tmp_path / "f.ply", a, {"X": np.zeros(80)})
    with pytest.raises(ornel.CloudError, match="standard LAS dimension 'intensity'"):
        ornel.write_points(tmp_path / "f.las", a, {"intensity": np.zeros(80)})
    assert not (tmp_path / "f.ply").exists() and not (tmp_path / "f.las").exists()


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past the limit fail with EFBIG instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))


OUTPUTS = [
    ["compare", "c0.npy", "c1.npy", "--out", f"out{suffix}"]
    for suffix in (".npy", ".ply", ".xyz", ".csv", ".las", ".laz", ".pcd")
]
OUTPUTS += [
    ["matrix", *(f"c{k}.npy" for k in range(8)), option, path]
    for option, path in (("--csv", "out.csv"), ("--png", "out.png"))
]


@pytest.mark.parametrize("args", OUTPUTS, ids=lambda args: f"{args[0]} {args[-1]}")
def test_a_write_that_fails_leaves_the_old_file_and_nothing_else(tmp_path, args):
    pytest.importorskip("matplotlib.font_manager")  # its font cache exists before the limit is set
    rng = np.random.default_rng(3)
    for k in range(8):
        np.save(tmp_path / f"c{k}.npy", rng.random((300, 3)) * 100)
    (tmp_path / args[-1]).write_text("old\n")
    before = snapshot(tmp_path)
    result = ornel_command(*args, cwd=tmp_path, preexec_fn=limit_file_size)
    one_line_error(result, f"ornel: error: {args[-1]}: cannot be written (")
    assert snapshot(tmp_path) == before


def test_ctrl_c_while_writing_leaves_the_old_file_and_nothing_else(tmp_path):
    rng = np.random.default_rng(4)
    np.save(tmp_path / "a.npy", rng.random((1_500_000, 3)))
    np.save(tmp_path / "b.npy", rng.random((2000, 3)))
    (tmp_path / "out.xyz").write_text("old\n")
    before = snapshot(tmp_path)
    # A run started in the background by a shell inherits SIGINT ignored; the command
    # must see Ctrl-C as a terminal would send it.
    process = subprocess.Popen(
        [*COMMAND, "compare", "a.npy", "b.npy", "--out", "out.xyz"],
        cwd=tmp_path,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    deadline = time.monotonic() + 120
    while not any(
        name.startswith(".out.xyz.") and (tmp_path / name).stat().st_size > 100_000 for name in os.listdir(tmp_path)
    ):
        assert process.poll() is None and time.monotonic() < deadline, "the write ended before it could be stopped"
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    assert process.wait(60) == 130, process.stderr.read()
    assert process.stderr.read().strip() == "ornel: interrupted"
    assert snapshot(tmp_path) == before
