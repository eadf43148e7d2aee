// The module's disparity files: 16-bit PNG and TIFF as uint16 arrays, PFM
// as float32 arrays, through the library's readers and writers
// (dispsmooth/disparity_io.hpp), with the GIL released while a file is read
// or written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dispsmooth/disparity_io.hpp"
#include "dispsmooth/dispsmooth.hpp"
#include "python/python_internal.h"

namespace py = pybind11;

namespace {

// The array's shape and dtype, for messages.
std::string described(const py::array &array) {
    return "shape " + py::str(array.attr("shape")).cast<std::string>() + " and dtype " +
           py::str(array.dtype()).cast<std::string>();
}

// An H x W array of at most max_image_pixels pixels, or ValueError.
void check_shape(const py::array &array, const char *what) {
    if (array.ndim() != 2)
        throw py::value_error(
            std::string("dispsmooth: the map to write must be an H x W array of ") + what +
            "; got " + described(array));
    if (array.shape(0) > dispsmooth::max_image_pixels ||
        array.shape(1) > dispsmooth::max_image_pixels ||
        array.shape(0) * array.shape(1) > dispsmooth::max_image_pixels)
        throw py::value_error("dispsmooth: the map to write is larger than " +
                              std::to_string(dispsmooth::max_image_pixels) + " pixels");
}

}  // namespace

namespace dispsmooth::python {

py::array read_uint16(const py::object &path) {
    const std::string name = file_system_path(path);
    uint16_image image;
    {
        const py::gil_scoped_release released;
        image = read_uint16_image(name);
    }
    py::array_t<std::uint16_t> result({image.height, image.width});
    std::memcpy(result.mutable_data(), image.pixels.data(),
                image.pixels.size() * sizeof(std::uint16_t));
    return result;
}

void write_uint16(const py::object &path, const py::array &array) {
    if (!py::isinstance<py::array_t<std::uint16_t>>(array))
        throw py::value_error(
            "dispsmooth: the map to write must be an H x W array of uint16; got " +
            described(array));
    check_shape(array, "uint16");
    const std::string name = file_system_path(path);
    const auto values = py::array_t<std::uint16_t, py::array::c_style>::ensure(array);
    uint16_image image;
    image.height = static_cast<int>(array.shape(0));
    image.width = static_cast<int>(array.shape(1));
    image.pixels.assign(values.data(), values.data() + values.size());
    const py::gil_scoped_release released;
    write_uint16_image(name, image);
}

py::array read_pfm(const py::object &path) {
    const std::string name = file_system_path(path);
    float_image image;
    {
        const py::gil_scoped_release released;
        image = dispsmooth::read_pfm(name);
    }
    py::array_t<float> result({image.height, image.width});
    std::memcpy(result.mutable_data(), image.pixels.data(), image.pixels.size() * sizeof(float));
    return result;
}

void write_pfm(const py::object &path, const py::array &array) {
    const bool is_float32 = py::isinstance<py::array_t<float>>(array);
    if (!is_float32 && !py::isinstance<py::array_t<double>>(array))
        throw py::value_error(
            "dispsmooth: the map to write must be an H x W array of float32 or float64; got " +
            described(array));
    check_shape(array, "float32 or float64");
    const std::string name = file_system_path(path);
    float_image image;
    image.height = static_cast<int>(array.shape(0));
    image.width = static_cast<int>(array.shape(1));
    if (is_float32) {
        const auto values = py::array_t<float, py::array::c_style>::ensure(array);
        image.pixels.assign(values.data(), values.data() + values.size());
    } else {
        const auto values = py::array_t<double, py::array::c_style>::ensure(array);
        image.pixels.reserve(static_cast<std::size_t>(values.size()));
        for (py::ssize_t i = 0; i < values.size(); ++i)
            image.pixels.push_back(static_cast<float>(values.data()[i]));
    }
    const py::gil_scoped_release released;
    dispsmooth::write_pfm(name, image);
}

}  // namespace dispsmooth::python
