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
                       double sigma_space, double sigma_color, int min_d, int max_d,
                       dispsmooth::smooth_options options) {
    const int height = static_cast<int>(disparity.shape(0));
    const int width = static_cast<int>(disparity.shape(1));
    py::array_t<T> result({height, width});
    const auto ref = reference.unchecked<std::uint8_t, 3>();
    const auto disp = disparity.unchecked<T, 2>();
    auto out = result.template mutable_unchecked<2>();
    std::atomic<bool> stop{false};
    options.cancel = &stop;
    // The arrays stay referenced by the caller's arguments and result.
    run_interruptibly(
        [&] {
            const std::size_t n =
                static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
            std::vector<int> image_arr(3 * n);
            std::vector<int> disp_arr(n);
            std::size_t p = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x, ++p) {
                    for (int c = 0; c < 3; ++c) image_arr[3 * p + c] = ref(y, x, c);
                    disp_arr[p] = static_cast<int>(disp(y, x));
                }
            dispsmooth::smooth(width, height, image_arr.data(), disp_arr.data(), min_d, max_d,
                               radius, sigma_space, sigma_color, options);
            // Every result is a disparity of the input map, so it fits T.
            p = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x, ++p) out(y, x) = static_cast<T>(disp_arr[p]);
        },
        &stop);
    return result;
}

}  // namespace

namespace dispsmooth::python {

py::array smooth_arrays(const py::array &reference, const py::array &disparity,
                        const py::object &radius, double sigma_space, double sigma_color,
                        const py::object &min_d, const py::object &max_d, const py::object &threads,
                        bool progress) {
    if (reference.ndim() != 3 || reference.shape(2) != 3 ||
        !py::isinstance<py::array_t<std::uint8_t>>(reference))
        throw py::value_error(
            "dispsmooth: reference must be an H x W x 3 array of uint8 (R, G, B); got " +
            describe(reference));
    const bool is_uint8 = py::isinstance<py::array_t<std::uint8_t>>(disparity);
    const bool is_uint16 = py::isinstance<py::array_t<std::uint16_t>>(disparity);
    const bool is_int32 = py::isinstance<py::array_t<std::int32_t>>(disparity);
    if (disparity.ndim() != 2 || !(is_uint8 || is_uint16 || is_int32))
        throw py::value_error(
            "dispsmooth: disparity must be an H x W array of uint8, uint16 or int32; got " +
            describe(disparity));

    const int radius_value = to_int(radius, "radius");
    const int min_d_value = to_int(min_d, "min_d");
    const int max_d_value = to_int(max_d, "max_d");
    api::check_smoothing_parameters(min_d_value, max_d_value, radius_value, sigma_space,
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

    if (is_uint8)
        return smooth_typed<std::uint8_t>(reference, disparity, radius_value, sigma_space,
                                          sigma_color, min_d_value, max_d_value, options);
    if (is_uint16)
        return smooth_typed<std::uint16_t>(reference, disparity, radius_value, sigma_space,
                                           sigma_color, min_d_value, max_d_value, options);
    return smooth_typed<std::int32_t>(reference, disparity, radius_value, sigma_space, sigma_color,
                                      min_d_value, max_d_value, options);
}

}  // namespace dispsmooth::python
