#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/api_internal.h"
#include "dispsmooth/dispsmooth.hpp"
#include "python/python_internal.h"

namespace py = pybind11;

namespace {

template <class T>
dispsmooth::gray_image gray_from(const py::array &array) {
    const auto values = array.unchecked<T, 2>();
    dispsmooth::gray_image image;
    image.height = static_cast<int>(array.shape(0));
    image.width = static_cast<int>(array.shape(1));
    image.pixels.reserve(static_cast<std::size_t>(image.width) *
                         static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            image.pixels.push_back(static_cast<int>(values(y, x)));
    return image;
}

}  // namespace

namespace dispsmooth::python {

std::string file_system_path(const py::object &path) {
    const py::object os = py::module_::import("os");
    auto name = os.attr("fsencode")(path).cast<std::string>();
    if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return name;
}

py::array read_image(const py::object &path, const std::string &kind) {
    if (kind != "rgb" && kind != "gray")
        throw py::value_error("dispsmooth: kind is \"" + kind +
                              "\"; it must be \"rgb\" or \"gray\"");
    const std::string name = file_system_path(path);
    // Decoded straight into the samples the array then owns: no int copy
    // of the image, no second 8-bit one.
    auto image = std::make_unique<api::byte_image>();
    {
        const py::gil_scoped_release released;
        *image = api::read_byte_image(name, kind == "rgb" ? 3 : 1);
    }
    std::vector<py::ssize_t> shape{image->height, image->width};
    if (kind == "rgb") shape.push_back(3);
    std::uint8_t *const data = image->samples.data();
    const py::capsule owner(image.get(),
                            [](void *held) { delete static_cast<api::byte_image *>(held); });
    (void)image.release();
    return py::array_t<std::uint8_t>(shape, data, owner);
}

void write_image(const py::object &path, const py::array &array) {
    const bool is_uint8 = py::isinstance<py::array_t<std::uint8_t>>(array);
    const bool is_uint16 = py::isinstance<py::array_t<std::uint16_t>>(array);
    const bool is_int32 = py::isinstance<py::array_t<std::int32_t>>(array);
    if (array.ndim() != 2 || !(is_uint8 || is_uint16 || is_int32))
        throw py::value_error(
            "dispsmooth: the image to write must be an H x W array of uint8, uint16 or int32; "
            "got shape " +
            py::str(array.attr("shape")).cast<std::string>() + " and dtype " +
            py::str(array.dtype()).cast<std::string>());
    if (array.shape(0) > max_image_pixels || array.shape(1) > max_image_pixels ||
        array.shape(0) * array.shape(1) > max_image_pixels)
        throw py::value_error("dispsmooth: the image to write is larger than " +
                              std::to_string(max_image_pixels) + " pixels");
    const std::string name = file_system_path(path);
    const gray_image image = is_uint8    ? gray_from<std::uint8_t>(array)
                             : is_uint16 ? gray_from<std::uint16_t>(array)
                                         : gray_from<std::int32_t>(array);
    const py::gil_scoped_release released;
    dispsmooth::write_image(name, image);
}

}  // namespace dispsmooth::python
