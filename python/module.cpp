// The compiled part of the Python package `dispsmooth`, `dispsmooth._core`:
// the tool's smoothing on numpy arrays.  The package re-exports all of it.
#include <pybind11/pybind11.h>

#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/version.h"
#include "python/python_internal.h"

namespace py = pybind11;

namespace {

const char *const module_doc = R"doc(Guided weighted-median smoothing of stereo disparity maps.

Every disparity is replaced by the weighted median of the disparities in a
square window around it.  A neighbour's weight falls off with its distance
and with its colour difference from the centre pixel in the reference image
(after a 3 x 3 median filter of each colour channel), so each surface
becomes clean while the depth edges stay where the colours change.  The
results are those of the dispsmooth command-line tool to the last bit.

    import dispsmooth
    smoothed = dispsmooth.smooth(left_rgb, noisy_disparity, 9, 9.0, 20.0)
)doc";

const char *const smooth_doc =
    R"doc(smooth(reference, disparity, radius, sigma_space, sigma_color, *, min_d=0, max_d=255, mask=None, invalid=None, fill=False, step=None, threads=None, progress=False)

Return the smoothed copy of a disparity map.

reference
    The colour image the disparities belong to: an H x W x 3 array of
    uint8 (R, G, B).
disparity
    The disparity map: an H x W array of uint8, uint16, int16, int32,
    float32 or float64.  An integer map's values are its levels; a float
    map needs step.  Every valid level lies in min_d..max_d.
radius
    The window is (2 radius + 1)^2 pixels around each pixel; 0 returns the
    map unchanged.  At least 0.
sigma_space
    The weight has the factor exp(-(dx^2 + dy^2) / sigma_space^2).
sigma_color
    The weight has the factor exp(-C / sigma_color^2), C being the squared
    RGB distance of the two pixels in the median-filtered reference image.
    Neither sigma may be 0, not a number, or so small that its square is 0.
min_d, max_d
    The range of the levels (the tool's is 0..255; KITTI's uint16 maps
    0..65535; a semi-global matcher's int16 maps 16 times its disparity
    range).  Any int range costs the same: the histograms have one bin per
    distinct level of the map (at most 4194304 distinct valid levels).
mask
    None, or an H x W array of bool or uint8: False (0) marks an invalid
    pixel.
invalid
    None, or the value that marks invalid pixels (0 for KITTI's maps,
    (min_disparity - 1) * 16 for OpenCV's StereoSGBM).  In a float map,
    NaN and +-inf are always invalid.
fill
    Invalid pixels neither vote nor change: each valid pixel gets the
    weighted median of the valid pixels of its window.  With fill=True an
    invalid pixel gets the same over its own window too (its own colour at
    the centre); it stays as it was where its window holds no valid pixel.
step
    For float maps only: the size of one level in disparity units (1/16,
    1/256, ...).  Each value v becomes the level nearest to v / step
    (computed in double; halfway cases go to the even level), is smoothed
    on the levels and comes back as level * step in the map's dtype.
threads
    Threads for this call (1..1024), or None for the default (the first
    value of OMP_NUM_THREADS, else one per processor the process may run
    on; at most 1024).  The threads are started for the call and joined
    before it returns, so a forked child (os.fork, multiprocessing) smooths
    as its parent does; a thread that cannot be created is done without.
    The result is the same for any count.
progress
    Draw the tool's progress line on standard error while working (only
    when standard error is a terminal).

Returns a new array of the disparity's shape and dtype.  With no invalid
pixel it equals what the dispsmooth tool writes for the same images and
parameters.  The GIL is released while the smoothing runs.  Ctrl-C (or any
signal whose handler raises) stops it within a fraction of a second: the
handler's exception (KeyboardInterrupt) is raised, the arguments are
unchanged and nothing is left behind.

Raises ValueError for arrays of the wrong shape or dtype and for values out
of range (the message names the problem; where the tool would end with a
message, such as "FATAL ERROR in median_histo" for a sigma of 0, it ends
with those words), and MemoryError when memory runs out.
)doc";

const char *const read_image_doc = R"doc(read_image(path, kind)

Read an image with the dispsmooth tool's reader for its file-name
extension (tiff, TIFF, tif, TIF, png, PNG, jpeg, JPEG, jpg, JPG; no other
spelling).

path
    A str, bytes or os.PathLike, in the file system's encoding (as
    os.fsencode takes it: names that are not valid UTF-8 work); an embedded
    NUL raises ValueError, as open() does.
kind
    "rgb": an H x W x 3 uint8 array (R, G, B; alpha dropped; a gray file
    reads with R = G = B), the tool's reference image.
    "gray": an H x W uint8 array, the red sample of each pixel, the tool's
    disparity map.

Raises OSError when the file cannot be opened or read or is damaged, with
the library's message (libpng's, libjpeg's or libtiff's, where it gave one)
and the tool's line naming the file; ValueError for another extension or
kind; MemoryError when memory runs out.  The GIL is released while the file
is read.
)doc";

const char *const write_image_doc = R"doc(write_image(path, array)

Write an H x W array of uint8, uint16 or int32 as a gray image with the
dispsmooth tool's writer for the file-name extension: the low 8 bits of
each value, stored as R = G = B in PNG and JPEG (quality 85) and as one
8-bit sample in TIFF.  The file replaces one of the same name only once it
is complete; a failed write leaves no temporary file behind.

Raises OSError when the file cannot be created or written, with the
library's and the tool's message; ValueError for a wrong array, an empty
one, or an extension the tool does not know; MemoryError when memory runs
out.  The GIL is released while the file is written.

path is a str, bytes or os.PathLike, as for read_image.
)doc";

const char *const read_uint16_doc = R"doc(read_uint16(path)

Read a PNG (png, PNG) or TIFF (tif, TIF, tiff, TIFF) disparity map at full
depth: an H x W uint16 array of the grey sample of each pixel (the first
sample, red, of a colour file), as stored.  KITTI's maps are 16-bit grey
PNGs holding the disparity times 256 (KITTI_STEP = 1/256) and 0 where there
is none, so that

    disparity = dispsmooth.read_uint16("disp_occ_0/000000_10.png")
    smoothed = dispsmooth.smooth(left, disparity, 9, 9.0, 20.0,
                                 min_d=0, max_d=65535, invalid=0, fill=True)
    dispsmooth.write_uint16("out/000000_10.png", smoothed)

keeps every fraction.  Files of fewer bits read unscaled (an 8-bit file
gives 0..255).  A striped TIFF of unsigned 8- or 16-bit samples is read;
tiled TIFFs are refused.

Raises OSError for a file that cannot be opened or read, is damaged, or
declares more pixels than it can hold (libpng's or libtiff's message, then
the line naming the file), ValueError for another extension, MemoryError
when memory runs out.  The GIL is released while the file is read.
)doc";

const char *const write_uint16_doc = R"doc(write_uint16(path, array)

Write an H x W uint16 array as a 16-bit grey PNG (png, PNG) or an
uncompressed 16-bit grey TIFF (tif, TIF, tiff, TIFF), every value kept.  The
file replaces one of the same name only once it is complete; a failed write
leaves no temporary file behind.

Raises OSError when the file cannot be written, ValueError for another
dtype or shape, an empty array or another extension.
)doc";

const char *const read_pfm_doc = R"doc(read_pfm(path)

Read a PFM file (Middlebury 2014/2021, ETH3D, SceneFlow) whatever its name:
an H x W float32 array, row 0 at the top (the file stores its rows bottom to
top).  Grey ("Pf") and colour ("PF", its first channel) files of either byte
order (the scale's sign: negative for little-endian) are read.  inf and NaN
stay as they are; smooth() takes them as invalid pixels:

    disparity = dispsmooth.read_pfm("Adirondack/disp0.pfm")
    smoothed = dispsmooth.smooth(left, disparity, 9, 9.0, 20.0,
                                 min_d=0, max_d=2**20, step=1/16, fill=True)
    dispsmooth.write_pfm("out/disp0.pfm", smoothed)

Raises OSError for a file that is not a PFM, has a header that is not
"Pf"/"PF", width, height and a scale other than 0 and finite, or holds less
data than its header declares; MemoryError when memory runs out.
)doc";

const char *const write_pfm_doc = R"doc(write_pfm(path, array)

Write an H x W float32 array (float64 is rounded to float32) as a grey PFM
("Pf"), little-endian (scale -1), rows bottom to top, whatever the name;
NaN and inf are written as they are.  The file replaces one of the same
name only once it is complete.

Raises OSError when the file cannot be written, ValueError for another
dtype or shape or an empty array.
)doc";

// Raises type with the library's message.  The message may hold a file name
// that is not valid UTF-8: it is decoded as Python decodes file names
// (surrogate escapes), so that the name in the message is the one given.
void set_python_error(PyObject *type, const char *message) {
    PyObject *text = PyUnicode_DecodeFSDefault(message);
    if (text == nullptr) return;  // the decoding's own error stands
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    // Each docstring opens with its own signature, in Python's terms.
    py::options options;
    options.disable_function_signatures();

    m.doc() = module_doc;
    m.attr("__version__") = DISPSMOOTH_VERSION;

    // A file that cannot be opened, read or written is an OSError; every
    // other refusal of the library is a wrong value given to it.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const dispsmooth::file_error &e) {
            set_python_error(PyExc_OSError, e.what());
        } catch (const dispsmooth::error &e) {
            set_python_error(PyExc_ValueError, e.what());
        }
    });

    m.def("smooth", &dispsmooth::python::smooth_arrays, smooth_doc, py::arg("reference"),
          py::arg("disparity"), py::arg("radius"), py::arg("sigma_space"), py::arg("sigma_color"),
          py::kw_only(), py::arg("min_d") = 0, py::arg("max_d") = 255, py::arg("mask") = py::none(),
          py::arg("invalid") = py::none(), py::arg("fill") = false, py::arg("step") = py::none(),
          py::arg("threads") = py::none(), py::arg("progress") = false);
    m.def("read_image", &dispsmooth::python::read_image, read_image_doc, py::arg("path"),
          py::arg("kind"));
    m.def("write_image", &dispsmooth::python::write_image, write_image_doc, py::arg("path"),
          py::arg("array"));
    m.attr("KITTI_STEP") = dispsmooth::kitti_step;
    m.def("read_uint16", &dispsmooth::python::read_uint16, read_uint16_doc, py::arg("path"));
    m.def("write_uint16", &dispsmooth::python::write_uint16, write_uint16_doc, py::arg("path"),
          py::arg("array"));
    m.def("read_pfm", &dispsmooth::python::read_pfm, read_pfm_doc, py::arg("path"));
    m.def("write_pfm", &dispsmooth::python::write_pfm, write_pfm_doc, py::arg("path"),
          py::arg("array"));
}
