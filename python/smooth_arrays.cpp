#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "api/api_internal.h"
#include "python/python_internal.h"

namespace py = pybind11;

namespace {

// "shape (30, 40) and dtype float64", for the messages.
std::string describe(const py::array &a) {
    return "shape " + py::str(a.attr("shape")).cast<std::string>() + " and dtype " +
           py::str(a.dtype()).cast<std::string>();
}

// Any integer that Python takes as an index (int, bool, numpy integers) that
// fits an int; TypeError for other objects.
int to_int(const py::object &value, const char *name) {
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < INT_MIN || v > INT_MAX)
        throw py::value_error("dispsmooth: " + std::string(name) + " " +
                              py::str(index).cast<std::string>() +
                              " is outside the range of an int (-2147483648..2147483647)");
    return static_cast<int>(v);
}

// An H x W mask of bool or uint8 (nonzero for a valid pixel) as contiguous
// bytes, or an empty array for None.
py::array_t<std::uint8_t, py::array::c_style> to_mask(const py::object &mask,
                                                      const py::array &disparity) {
    if (mask.is_none()) return {};
    const auto given = py::array::ensure(mask);
    const bool bytes = given && (py::isinstance<py::array_t<bool>>(given) ||
                                 py::isinstance<py::array_t<std::uint8_t>>(given));
    if (!bytes || given.ndim() != 2 || given.shape(0) != disparity.shape(0) ||
        given.shape(1) != disparity.shape(1))
        throw py::value_error(
            "dispsmooth: mask must be an array of bool or uint8 of the disparity's shape " +
            py::str(disparity.attr("shape")).cast<std::string>() + " (True for a valid pixel)" +
            (given ? "; got " + describe(given) : std::string()));
    return py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(given);
}

// Runs work with the GIL released, on a thread of its own where one can be
// started, while this thread looks at Python's signals every 50 ms.  Where a
// handler raises (Ctrl-C's KeyboardInterrupt), *stop is set, the work is
// waited for (it stops between rows) and the handler's exception is raised
// here.  An exception of the work itself is rethrown.
void run_interruptibly(const std::function<void()> &work, std::atomic<bool> *stop) {
    std::exception_ptr failure;
    bool interrupted = false;
    {
        const py::gil_scoped_release released;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
        auto guarded = [&] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
            const std::lock_guard<std::mutex> lock(mutex);
            done = true;
            ended.notify_all();
        };
        std::thread worker;
        try {
            worker = std::thread(guarded);
        } catch (const std::system_error &) {
            guarded();  // no thread to be had: not interruptible, but done
        }
        if (worker.joinable()) {
            std::unique_lock<std::mutex> lock(mutex);
            while (!ended.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) {
                lock.unlock();
                {
                    const py::gil_scoped_acquire acquired;
                    // Only the main thread runs Python's handlers; elsewhere
                    // this finds nothing to do.
                    interrupted = PyErr_CheckSignals() != 0;
                }
                lock.lock();
                if (interrupted) {
                    stop->store(true);
                    break;
                }
            }
            lock.unlock();
            worker.join();
        }
    }
    if (interrupted) throw py::error_already_set();
    if (failure) std::rethrow_exception(failure);
}

template <class T>
py::array smooth_typed(const py::array &reference, const py::array &disparity, int radius,
                       double sigma_space, double sigma_color,
                       const dispsmooth::level_options &levels,
                       dispsmooth::smooth_options options) {
    const auto ref = py::array_t<std::uint8_t, py::array::c_style>::ensure(reference);
    const auto disp = py::array_t<T, py::array::c_style>::ensure(disparity);
    if (!ref || !disp) throw py::error_already_set();
    const int height = static_cast<int>(disparity.shape(0));
    const int width = static_cast<int>(disparity.shape(1));
    py::array_t<T> result({height, width});
    const std::uint8_t *ref_data = ref.data();
    const T *disp_data = disp.data();
    T *out = result.mutable_data();
    std::atomic<bool> stop{false};
    options.cancel = &stop;
    // The arrays stay referenced by the caller's arguments and result.
    run_interruptibly(
        [&] {
            const std::size_t n =
                static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
            std::copy(disp_data, disp_data + n, out);
            dispsmooth::smooth_map(width, height, ref_data, out, radius, sigma_space, sigma_color,
                                   levels, options);
        },
        &stop);
    return result;
}

}  // namespace

namespace dispsmooth::python {

py::array smooth_arrays(const py::array &reference, const py::array &disparity,
                        const py::object &radius, double sigma_space, double sigma_color,
                        const py::object &min_d, const py::object &max_d, const py::object &mask,
                        const py::object &invalid, bool fill, const py::object &step,
                        const py::object &threads, bool progress) {
    if (reference.ndim() != 3 || reference.shape(2) != 3 ||
        !py::isinstance<py::array_t<std::uint8_t>>(reference))
        throw py::value_error(
            "dispsmooth: reference must be an H x W x 3 array of uint8 (R, G, B); got " +
            describe(reference));
    const bool is_uint8 = py::isinstance<py::array_t<std::uint8_t>>(disparity);
    const bool is_uint16 = py::isinstance<py::array_t<std::uint16_t>>(disparity);
    const bool is_int16 = py::isinstance<py::array_t<std::int16_t>>(disparity);
    const bool is_int32 = py::isinstance<py::array_t<std::int32_t>>(disparity);
    const bool is_float32 = py::isinstance<py::array_t<float>>(disparity);
    const bool is_float64 = py::isinstance<py::array_t<double>>(disparity);
    if (disparity.ndim() != 2 ||
        !(is_uint8 || is_uint16 || is_int16 || is_int32 || is_float32 || is_float64))
        throw py::value_error(
            "dispsmooth: disparity must be an H x W array of uint8, uint16, "
            "int16, int32, float32 or float64; got " +
            describe(disparity));
    const bool floating = is_float32 || is_float64;
    if (floating && step.is_none())
        throw py::value_error("dispsmooth: a disparity map of dtype " +
                              py::str(disparity.dtype()).cast<std::string>() +
                              " needs step=, the size of one level in disparity units "
                              "(1/16 for a semi-global matcher's, 1/256 for KITTI's)");
    if (!floating && !step.is_none())
        throw py::value_error(
            "dispsmooth: step= applies to float32 and float64 maps; a map "
            "of dtype " +
            py::str(disparity.dtype()).cast<std::string>() + " holds its levels themselves");

    const int radius_value = to_int(radius, "radius");
    dispsmooth::level_options levels;
    levels.min_d = to_int(min_d, "min_d");
    levels.max_d = to_int(max_d, "max_d");
    levels.fill = fill;
    if (!step.is_none()) levels.step = step.cast<double>();
    if (!invalid.is_none()) levels.invalid = invalid.cast<double>();
    api::check_smoothing_parameters(levels.min_d, levels.max_d, radius_value, sigma_space,
                                    sigma_color);
    smooth_options options;
    options.progress = progress;
    if (!threads.is_none()) {
        options.threads = to_int(threads, "threads");
        if (options.threads < 1 || options.threads > max_threads)
            throw py::value_error("dispsmooth: threads is " + std::to_string(options.threads) +
                                  "; it must be 1.." + std::to_string(max_threads) +
                                  ", or None for the default");
    }
    // Sizes as the tool gives them: width x height.
    api::check_same_size(reference.shape(1), reference.shape(0), disparity.shape(1),
                         disparity.shape(0));
    api::check_image_size(disparity.shape(1), disparity.shape(0));
    // Referenced by levels.mask until the smoothing is done.
    const auto mask_bytes = to_mask(mask, disparity);
    if (!mask.is_none()) levels.mask = mask_bytes.data();

    if (is_uint8)
        return smooth_typed<std::uint8_t>(reference, disparity, radius_value, sigma_space,
                                          sigma_color, levels, options);
    if (is_uint16)
        return smooth_typed<std::uint16_t>(reference, disparity, radius_value, sigma_space,
                                           sigma_color, levels, options);
    if (is_int16)
        return smooth_typed<std::int16_t>(reference, disparity, radius_value, sigma_space,
                                          sigma_color, levels, options);
    if (is_int32)
        return smooth_typed<std::int32_t>(reference, disparity, radius_value, sigma_space,
                                          sigma_color, levels, options);
    if (is_float32)
        return smooth_typed<float>(reference, disparity, radius_value, sigma_space, sigma_color,
                                   levels, options);
    return smooth_typed<double>(reference, disparity, radius_value, sigma_space, sigma_color,
                                levels, options);
}

}  // namespace dispsmooth::python
