"""read_image and write_image: the tool's codecs on numpy arrays, whose
failures raise and leave the interpreter running."""

import os
import shutil
import subprocess

import numpy as np
import pytest

import dispsmooth
from conftest import SOURCE_DIR


def test_scene_read_smoothed_and_written_is_the_tools_file(tool, tmp_path):
    for name in ("reference.png", "disparity.png", "kelv_input.txt"):
        shutil.copy(SOURCE_DIR / "examples" / "scene" / name, tmp_path / name)
    done = subprocess.run([tool], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr

    reference = dispsmooth.read_image(tmp_path / "reference.png", "rgb")
    disparity = dispsmooth.read_image(str(tmp_path / "disparity.png"), "gray")
    assert reference.shape == disparity.shape + (3,) and reference.dtype == np.uint8
    smoothed = dispsmooth.smooth(reference, disparity, 9, 9.0, 20.0)
    np.testing.assert_array_equal(
        smoothed, dispsmooth.read_image(tmp_path / "smoothed.png", "gray"))
    dispsmooth.write_image(tmp_path / "mine.png", smoothed)
    assert (tmp_path / "mine.png").read_bytes() == (tmp_path / "smoothed.png").read_bytes()


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int32])
@pytest.mark.parametrize("name", ["map.tif", "map.TIFF", "map.png", "map.PNG"])
def test_lossless_round_trips_keep_the_low_byte(tmp_path, dtype, name):
    values = (np.arange(7 * 11).reshape(7, 11) * 37 % 300).astype(dtype)
    dispsmooth.write_image(tmp_path / name, values)
    back = dispsmooth.read_image(tmp_path / name, "gray")
    assert back.dtype == np.uint8
    np.testing.assert_array_equal(back, (values & 0xFF).astype(np.uint8))
    rgb = dispsmooth.read_image(tmp_path / name, "rgb")
    np.testing.assert_array_equal(rgb, np.repeat(back[..., None], 3, axis=2))


def test_jpeg_round_trip_is_close(tmp_path):
    dispsmooth.write_image(tmp_path / "flat.jpg", np.full((16, 24), 120, np.uint8))
    back = dispsmooth.read_image(tmp_path / "flat.jpg", "gray")
    assert back.shape == (16, 24)
    assert np.abs(back.astype(int) - 120).max() <= 2


def test_failures_raise_with_the_tools_words_and_leave_nothing(tmp_path):
    gray = np.zeros((3, 4), np.uint8)
    with pytest.raises(OSError, match="for reading: No such file or directory"):
        dispsmooth.read_image(tmp_path / "missing.png", "gray")
    (tmp_path / "bad.png").write_bytes(b"not a PNG at all")
    with pytest.raises(OSError) as damaged:
        dispsmooth.read_image(tmp_path / "bad.png", "rgb")
    assert str(damaged.value) == (
        f'libpng error: Not a PNG file\ndispsmooth: cannot read PNG image "{tmp_path}/bad.png"')
    (tmp_path / "bad.jpg").write_bytes(b"\xff\xd8\xff\xe0 cut short")
    with pytest.raises(OSError, match="cannot read JPEG image"):
        dispsmooth.read_image(tmp_path / "bad.jpg", "gray")
    with pytest.raises(ValueError, match="Filename extension for .*map.bmp not recognized!"):
        dispsmooth.write_image(tmp_path / "map.bmp", gray)
    with pytest.raises(ValueError, match='it must be "rgb" or "gray"'):
        dispsmooth.read_image(tmp_path / "bad.png", "grey")
    with pytest.raises(ValueError, match="H x W array of uint8, uint16 or int32"):
        dispsmooth.write_image(tmp_path / "f.png", gray.astype(np.float32))
    with pytest.raises(ValueError, match="invalid size 0 x 0"):
        dispsmooth.write_image(tmp_path / "empty.tif", np.zeros((0, 0), np.uint8))
    for name in ("o.png", "o.tif", "o.jpg"):
        with pytest.raises(OSError):
            dispsmooth.write_image(tmp_path / "no" / "such" / name, gray)
    # The interpreter goes on, and only the two damaged inputs are there.
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.jpg", "bad.png"]


# Names as Python programs hold them: str, bytes, os.PathLike, and names
# that are not valid UTF-8 (bytes, or the surrogate-escaped str that
# os.listdir returns for them).
@pytest.mark.parametrize("make_name", [
    lambda d: str(d / "plain.png"),
    lambda d: bytes(d / "plain.png"),
    lambda d: d / "plain.png",
    lambda d: bytes(d) + b"/caf\xe9-\xff.png",
    lambda d: os.fsdecode(bytes(d) + b"/caf\xe9-\xff.png"),
], ids=["str", "bytes", "pathlike", "non-utf8-bytes", "surrogate-escaped-str"])
def test_every_kind_of_file_name_is_read_and_written(tmp_path, make_name):
    name = make_name(tmp_path)
    values = np.arange(12, dtype=np.uint8).reshape(3, 4)
    dispsmooth.write_image(name, values)
    assert os.path.exists(name)
    np.testing.assert_array_equal(dispsmooth.read_image(name, "gray"), values)
    # Exactly one file, under exactly that name.
    assert os.listdir(bytes(tmp_path)) == [os.path.basename(os.fsencode(name))]


def test_a_missing_file_of_an_undecodable_name_is_named_in_the_error(tmp_path):
    name = bytes(tmp_path) + b"/missing-\xff.png"
    with pytest.raises(OSError) as raised:
        dispsmooth.read_image(name, "gray")
    assert os.fsdecode(name) in str(raised.value)


@pytest.mark.parametrize("name", ["w.png\0.tif", b"w.png\0.tif"])
def test_an_embedded_nul_is_refused_as_open_refuses_it(tmp_path, name):
    full = os.path.join(os.fsencode(tmp_path) if isinstance(name, bytes) else str(tmp_path), name)
    with pytest.raises(ValueError, match="embedded null byte"):
        dispsmooth.write_image(full, np.zeros((2, 2), np.uint8))
    with pytest.raises(ValueError, match="embedded null byte"):
        dispsmooth.read_image(full, "gray")
    with pytest.raises(ValueError, match="embedded null byte"):
        open(full, "rb")
    assert os.listdir(tmp_path) == []


# A JPEG with its header and no image data is refused as damaged, not read
# as the grey image the library would pad it into.
def test_a_jpeg_without_its_data_is_refused(tmp_path):
    dispsmooth.write_image(tmp_path / "whole.jpg", np.full((40, 56), 90, np.uint8))
    data = (tmp_path / "whole.jpg").read_bytes()
    sos = data.index(b"\xff\xda")
    (tmp_path / "header.jpg").write_bytes(data[:sos + 2 + int.from_bytes(data[sos + 2:sos + 4], "big")])
    with pytest.raises(OSError, match="Premature end of JPEG file"):
        dispsmooth.read_image(tmp_path / "header.jpg", "gray")
