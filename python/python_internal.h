// The functions of the Python module, bound in module.cpp.
#ifndef DISPSMOOTH_PYTHON_PYTHON_INTERNAL_H
#define DISPSMOOTH_PYTHON_PYTHON_INTERNAL_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

namespace dispsmooth::python {

// dispsmooth.smooth: the smoothed copy of disparity (H x W, uint8, uint16,
// int16, int32, float32 or float64) guided by reference (H x W x 3, uint8),
// with the invalid pixels that mask and invalid mark left out (and filled
// when fill is set), float maps read in levels of step.  Wrong arrays or
// values raise ValueError, a refused allocation MemoryError.
pybind11::array smooth_arrays(const pybind11::array &reference, const pybind11::array &disparity,
                              const pybind11::object &radius, double sigma_space,
                              double sigma_color, const pybind11::object &min_d,
                              const pybind11::object &max_d, const pybind11::object &mask,
                              const pybind11::object &invalid, bool fill,
                              const pybind11::object &step, const pybind11::object &threads,
                              bool progress);

// dispsmooth.read_image: the tool's RGB (kind "rgb", H x W x 3 uint8) or
// gray (kind "gray", H x W uint8) reader for path's extension.
// A str, bytes or os.PathLike path as the bytes the file system sees
// (os.fsencode: a str in the file system's encoding, with the surrogate
// escapes of os.listdir's undecodable names turned back into their bytes).
// An embedded NUL would cut the name short: refused with ValueError, as
// open() refuses it.
std::string file_system_path(const pybind11::object &path);

pybind11::array read_image(const pybind11::object &path, const std::string &kind);

// dispsmooth.write_image: the tool's gray writer for path's extension.
void write_image(const pybind11::object &path, const pybind11::array &array);

// dispsmooth.read_uint16: a 16-bit (or 8-bit) PNG or TIFF at full depth,
// H x W uint16 (the first sample of each pixel).
pybind11::array read_uint16(const pybind11::object &path);

// dispsmooth.write_uint16: an H x W uint16 array as a 16-bit grey PNG or
// TIFF.
void write_uint16(const pybind11::object &path, const pybind11::array &array);

// dispsmooth.read_pfm: a PFM as an H x W float32 array, row 0 at the top.
pybind11::array read_pfm(const pybind11::object &path);

// dispsmooth.write_pfm: an H x W float32 (or float64) array as a grey,
// little-endian PFM.
void write_pfm(const pybind11::object &path, const pybind11::array &array);

}  // namespace dispsmooth::python

#endif
