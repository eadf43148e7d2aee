// Writes of the result that fail -- half way through, on a full device,
// because the output cannot be created at all, or because the run is ended
// by a signal -- never end with status 0 and never cost the previous file of
// the output's name: the TIFF writer reports and exits with status 1, the
// PNG writer aborts, the JPEG writer exits with status 1, and the new file
// they were writing is gone.
#include "dispsmooth/dispsmooth.hpp"
#include "dispsmooth/tiff_codec.h"
#include "tests/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using test_support::run_result;
using test_support::run_tool;
using test_support::temp_dir;

// A width x height scene of noise, so that every output format takes well
// over the 4 KiB size limit below and a large one takes a while to write.
void write_inputs(const fs::path &dir, int w = 160, int h = 160) {
    std::mt19937 rng(5);
    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    std::vector<int> rgb(pixels * 3), disp(pixels);
    for (int &v : rgb) v = static_cast<int>(rng() % 256);
    for (int &v : disp) v = static_cast<int>(rng() % 256);
    write_rgb_image_arr_into_tiff((dir / "ref.tif").c_str(), w, h, rgb.data());
    write_image_arr_into_tiff((dir / "disp.tif").c_str(), w, h, disp.data());
}

// The names in dir, hidden ones included.
std::set<std::string> listing(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    return names;
}

// Runs "ref.tif <disp> <radius> 3 <sigma_color> <out>" in dir; the run must
// succeed.
std::string smooth_into(const fs::path &dir, const std::string &disp, int radius,
                        const std::string &out, int sigma_color = 10) {
    test_support::write_parameter_file(dir, "ref.tif " + disp + " " + std::to_string(radius) +
                                                " 3 " + std::to_string(sigma_color) + " " + out +
                                                "\n");
    const run_result r = run_tool(dir);
    EXPECT_TRUE(r.exited && r.exit_status == 0) << out << ": " << r.err;
    return test_support::read_file(dir / out);
}

// The end each writer's failure must have.
void expect_failed_write(const run_result &r, const std::string &ext) {
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos);
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos);
    EXPECT_FALSE(r.err.empty());
    // The messages name the user's file, never the new file beside it.
    EXPECT_EQ(r.err.find(".dispsmooth-"), std::string::npos);
    // Everything up to the write was done.
    EXPECT_NE(r.out.find("Smoothing the disparities ... done."), std::string::npos);
    if (ext == "png") {
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.term_signal, SIGABRT);
    } else {
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.exit_status, 1);
    }
}

const char *const formats[] = {"tif", "png", "jpg"};

// Each output stops growing at 4 KiB: the write fails half way.  Where there
// was no file, none is left; a previous output, and a disparity map the run
// was to replace with its own result, stay byte for byte; nothing else is
// left in the directory.  With SIGXFSZ at its default action the process
// is killed by it in the middle of the write, with the same outcome.
TEST(WriteFaults, AWriteThatFailsHalfWayKeepsThePreviousFile) {
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path());
        const std::set<std::string> inputs = {"disp.tif", "kelv_input.txt", "ref.tif"};

        const std::string out = "out." + ext;
        test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 1 3 10 " + out + "\n");
        run_result r = run_tool(dir.path(), {}, 120, /*file_size_limit=*/4096);
        SCOPED_TRACE(r.err);
        expect_failed_write(r, ext);
        EXPECT_EQ(listing(dir.path()), inputs);

        const std::string previous = smooth_into(dir.path(), "disp.tif", 1, out);
        const std::string disp = "disp." + ext;
        const std::string disp_bytes = smooth_into(dir.path(), "disp.tif", 0, disp);
        std::set<std::string> all = inputs;
        all.insert({out, disp});

        for (const std::string &target : {out, disp}) {
            test_support::write_parameter_file(dir.path(),
                                               "ref.tif " + disp + " 2 3 10 " + target + "\n");
            r = run_tool(dir.path(), {}, 120, 4096);
            expect_failed_write(r, ext);
            r = run_tool(dir.path(), {}, 120, 4096, /*ignore_sigxfsz=*/false);
            EXPECT_FALSE(r.exited) << target;
            EXPECT_EQ(r.term_signal, SIGXFSZ) << target;
            EXPECT_EQ(test_support::read_file(dir / out), previous) << target;
            EXPECT_EQ(test_support::read_file(dir / disp), disp_bytes) << target;
            EXPECT_EQ(listing(dir.path()), all) << target;
        }
    }
}

// The output is the full device: every write fails with ENOSPC, whether at
// once or when the last buffer is flushed.  The device itself is left alone.
TEST(WriteFaults, AFullDeviceIsAFailure) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path());
        fs::create_symlink("/dev/full", dir / ("out." + ext));
        test_support::write_parameter_file(dir.path(), "ref.tif disp.tif 1 3 10 out." + ext + "\n");
        const run_result r = run_tool(dir.path());
        SCOPED_TRACE(r.err);
        expect_failed_write(r, ext);
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
        EXPECT_TRUE(fs::is_symlink(dir / ("out." + ext)));
    }
}

// Outputs that cannot be created at all, even by root: in a directory that
// does not exist, below a regular file, or where a directory stands.
TEST(WriteFaults, AnOutputThatCannotBeCreatedIsAFailure) {
    for (const std::string ext : formats) {
        for (const std::string name : {"missing/out.", "plain/out.", "taken."}) {
            SCOPED_TRACE(name + ext);
            temp_dir dir;
            write_inputs(dir.path());
            test_support::write_file(dir / "plain", "not a directory");
            fs::create_directory(dir / ("taken." + ext));
            test_support::write_parameter_file(dir.path(),
                                               "ref.tif disp.tif 1 3 10 " + name + ext + "\n");
            const run_result r = run_tool(dir.path());
            SCOPED_TRACE(r.err);
            expect_failed_write(r, ext);
            EXPECT_TRUE(fs::is_directory(dir / ("taken." + ext)));
            EXPECT_TRUE(fs::is_empty(dir / ("taken." + ext)));
            EXPECT_FALSE(fs::exists(dir / "missing"));
            EXPECT_EQ(listing(dir.path()),
                      (std::set<std::string>{"disp.tif", "kelv_input.txt", "plain", "ref.tif",
                                             "taken." + ext}));
        }
    }
}

// Sends sig to pid as soon as a file whose name starts with prefix is created
// in dir (watched through watch_fd, an inotify descriptor watching dir for
// created files).  False when the run ended, or time_limit passed, first.
bool signal_on_creation(int watch_fd, const std::string &prefix, pid_t pid, int sig) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    alignas(inotify_event) char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready = {watch_fd, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0) {
            const ssize_t n = read(watch_fd, buffer, sizeof buffer);
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) {
                    kill(pid, sig);
                    return true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return false;
    }
    return false;
}

// SIGTERM the moment the new file appears beside the target: the run ends
// by SIGTERM, the previous output stays, and the new file is gone.  A run
// whose write beats the signal leaves its complete output; it is tried again.
TEST(WriteFaults, SigtermDuringTheWriteKeepsThePreviousFile) {
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path(), 1000, 1000);
        const std::string out = "out." + ext;
        const std::string previous = smooth_into(dir.path(), "disp.tif", 0, out);
        const std::string complete = smooth_into(dir.path(), "disp.tif", 1, out);
        const std::set<std::string> files = listing(dir.path());

        int interrupted = 0;
        for (int attempt = 0; attempt < 10 && interrupted == 0; ++attempt) {
            test_support::write_file(dir / out, previous);
            const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            ASSERT_GE(watch_fd, 0);
            ASSERT_GE(inotify_add_watch(watch_fd, dir.path().c_str(), IN_CREATE), 0);
            test_support::background_run run(dir.path());
            const bool sent =
                signal_on_creation(watch_fd, "." + out + ".dispsmooth-", run.pid(), SIGTERM);
            close(watch_fd);
            const run_result r = run.wait();
            SCOPED_TRACE(r.err);
            EXPECT_TRUE(sent);
            EXPECT_EQ(listing(dir.path()), files);
            const std::string now = test_support::read_file(dir / out);
            if (!r.exited && r.term_signal == SIGTERM && now == previous) {
                ++interrupted;
            } else {
                EXPECT_EQ(now, complete);
            }
        }
        EXPECT_EQ(interrupted, 1) << "the signal never came while the file was being written";
    }
}

// Two runs with different parameters write the same output, the second
// started a little after the first: whatever the delay, the file left is
// the whole output of one of them, and nothing else is left beside it.
TEST(WriteFaults, ConcurrentWritersLeaveOneRunsWholeOutput) {
    for (const std::string ext : formats) {
        SCOPED_TRACE("output ." + ext);
        temp_dir dir;
        write_inputs(dir.path(), 500, 500);
        temp_dir a_dir, b_dir;
        for (const fs::path &d : {a_dir.path(), b_dir.path()}) {
            fs::copy_file(dir / "ref.tif", d / "ref.tif");
            fs::copy_file(dir / "disp.tif", d / "disp.tif");
        }
        const std::string out = "out." + ext;
        const std::string a = smooth_into(a_dir.path(), "disp.tif", 1, out, 10);
        const std::string b = smooth_into(b_dir.path(), "disp.tif", 1, out, 30);
        ASSERT_NE(a, b);
        // Each run reads its own parameter file, in a directory of its own,
        // and writes the output of the shared directory.
        const fs::path shared = dir / out;
        test_support::write_parameter_file(a_dir.path(),
                                           "ref.tif disp.tif 1 3 10 " + shared.string() + "\n");
        test_support::write_parameter_file(b_dir.path(),
                                           "ref.tif disp.tif 1 3 30 " + shared.string() + "\n");
        for (const int delay_ms : {0, 30, 80, 150}) {
            fs::remove(shared);
            test_support::background_run first(a_dir.path());
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            test_support::background_run second(b_dir.path());
            const run_result ra = first.wait();
            const run_result rb = second.wait();
            EXPECT_TRUE(ra.exited && ra.exit_status == 0) << delay_ms << " ms: " << ra.err;
            EXPECT_TRUE(rb.exited && rb.exit_status == 0) << delay_ms << " ms: " << rb.err;
            const std::string left = test_support::read_file(shared);
            EXPECT_TRUE(left == a || left == b) << delay_ms << " ms: " << left.size() << " bytes";
            EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"disp.tif", "ref.tif", out}))
                << delay_ms << " ms";
        }
    }
}

// Where replacing the file would change more than its contents, the output
// is written into the existing file as before: through a symbolic link (to a
// file or a device), into a file with another hard link.  A replaced file keeps
// its permission bits; a new one gets those of any new file (0666 less the
// umask).
TEST(WriteFaults, OnlyTheContentsOfTheOutputsNameChange) {
    temp_dir dir;
    write_inputs(dir.path(), 40, 30);
    const std::string expected = smooth_into(dir.path(), "disp.tif", 1, "expected.png");
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(fs::status(dir / "expected.png").permissions(), static_cast<fs::perms>(0666 & ~mask));

    test_support::write_file(dir / "kept.png", "previous");
    fs::permissions(dir / "kept.png", static_cast<fs::perms>(0604));
    test_support::write_file(dir / "target.png", "previous");
    fs::create_symlink("target.png", dir / "link.png");
    test_support::write_file(dir / "linked.png", "previous");
    fs::create_hard_link(dir / "linked.png", dir / "other_name.png");
    fs::create_symlink("/dev/null", dir / "null.png");
    for (const std::string name : {"kept.png", "link.png", "linked.png", "null.png"})
        EXPECT_EQ(smooth_into(dir.path(), "disp.tif", 1, name), name == "null.png" ? "" : expected)
            << name;
    EXPECT_EQ(fs::status(dir / "kept.png").permissions(), static_cast<fs::perms>(0604));
    EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(test_support::read_file(dir / "target.png"), expected);
    EXPECT_EQ(test_support::read_file(dir / "other_name.png"), expected);
    EXPECT_EQ(fs::hard_link_count(dir / "linked.png"), 2u);
    EXPECT_TRUE(fs::is_symlink(dir / "null.png"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Marks a directory immutable (no file can be created in it, not even by
// root) while it lives; false when the file system or the process cannot.
class immutable_directory {
public:
    explicit immutable_directory(const fs::path &dir)
        : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY)) {
        if (fd_ < 0 || ioctl(fd_, FS_IOC_GETFLAGS, &flags_) != 0) return;
        long flags = flags_ | FS_IMMUTABLE_FL;
        set_ = ioctl(fd_, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ~immutable_directory() {
        if (set_) ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
        if (fd_ >= 0) close(fd_);
    }
    immutable_directory(const immutable_directory &) = delete;
    immutable_directory &operator=(const immutable_directory &) = delete;
    explicit operator bool() const { return set_; }

private:
    int fd_;
    long flags_ = 0;
    bool set_ = false;
};

// A writable output in a directory where no new file can be created is
// still written, in place, as before.
TEST(WriteFaults, AnOutputInADirectoryClosedToNewFilesIsWrittenInPlace) {
    temp_dir dir;
    write_inputs(dir.path(), 40, 30);
    temp_dir closed;
    for (const std::string ext : formats)
        test_support::write_file(closed / ("out." + ext), "previous");
    const immutable_directory guard(closed.path());
    if (geteuid() != 0) {
        fs::permissions(closed.path(), fs::perms::owner_read | fs::perms::owner_exec);
    } else if (!guard) {
        GTEST_SKIP() << "cannot close a directory to new files here";
    }
    for (const std::string ext : formats) {
        const fs::path out = closed / ("out." + ext);
        temp_dir expected_dir;
        fs::copy_file(dir / "ref.tif", expected_dir / "ref.tif");
        fs::copy_file(dir / "disp.tif", expected_dir / "disp.tif");
        const std::string expected = smooth_into(expected_dir.path(), "disp.tif", 1, "out." + ext);
        EXPECT_EQ(smooth_into(dir.path(), "disp.tif", 1, out.string()), expected) << ext;
    }
    if (geteuid() != 0) fs::permissions(closed.path(), fs::perms::owner_all);
}

}  // namespace

namespace {

// A directory below base whose path, with "/" and name_length more
// characters, is total characters long; made of components of at most 200.
fs::path deep_directory(const fs::path &base, std::size_t total, std::size_t name_length) {
    fs::path dir = base;
    while (dir.string().size() + 1 + name_length < total) {
        const std::size_t room = total - dir.string().size() - 1 - name_length;
        // Each component costs its length and a slash.
        const std::size_t length = room > 201 ? 200 : room - 1;
        if (length == 0) break;
        dir /= std::string(length, 'd');
    }
    fs::create_directories(dir);
    return dir;
}

}  // namespace

// An output name close to PATH_MAX, whose new file beside it would pass that
// length were it named by its whole path: the new file is still made beside
// the target (by a short name in its directory), so a write that fails half
// way keeps the previous output, as for any other name.
TEST(WriteFaults, AnOutputNameNearPathMaxKeepsThePreviousFileWhenTheWriteFails) {
    for (const std::string ext : formats) {
        for (const std::size_t length : {4077, 4090, 4095}) {
            SCOPED_TRACE("output ." + ext + " of " + std::to_string(length) + " characters");
            temp_dir dir;
            write_inputs(dir.path(), 300, 300);
            const std::string name = "out." + ext;
            const fs::path deep = deep_directory(dir.path(), length, name.size());
            const fs::path out = deep / name;
            ASSERT_EQ(out.string().size(), length);
            const std::string previous = smooth_into(dir.path(), "disp.tif", 0, out.string());

            test_support::write_parameter_file(dir.path(),
                                               "ref.tif disp.tif 2 3 10 " + out.string() + "\n");
            const run_result r = run_tool(dir.path(), {}, 120, /*file_size_limit=*/8192);
            SCOPED_TRACE(r.err);
            expect_failed_write(r, ext);
            EXPECT_EQ(test_support::read_file(out), previous);
            EXPECT_EQ(listing(deep), std::set<std::string>{name});
        }
    }
}

// Thirty writes at once, each registered for removal at a sudden end: a
// SIGTERM while all of them are in progress leaves none of their new files.
TEST(WriteFaults, SigtermDuringManyConcurrentWritesLeavesNoNewFile) {
    constexpr int writers = 30;
    temp_dir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::mt19937 rng(9);
        dispsmooth::gray_image image;
        image.width = image.height = 700;
        image.pixels.resize(700 * 700);
        for (int &v : image.pixels) v = static_cast<int>(rng() % 256);
        std::vector<std::string> names;
        for (int k = 0; k < writers; ++k) {
            std::string name = (dir / "w").string();
            name += std::to_string(k);
            name += ".png";
            names.push_back(name);
        }
        std::vector<std::thread> threads;
        for (const std::string &name : names) {
            // Each writes until the signal ends the process.
            threads.emplace_back([&image, &name] {
                for (;;) dispsmooth::write_image(name, image);
            });
        }
        for (std::thread &t : threads) t.join();
        _exit(0);
    }
    // Waits until every writer has its new file, then ends the process.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::size_t most = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::size_t in_progress = 0;
        for (const std::string &name : listing(dir.path()))
            if (name.find(".dispsmooth-") != std::string::npos) ++in_progress;
        most = std::max(most, in_progress);
        if (in_progress == writers) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    kill(child, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(most, static_cast<std::size_t>(writers)) << "the writes never all overlapped";
    for (const std::string &name : listing(dir.path()))
        EXPECT_EQ(name.find(".dispsmooth-"), std::string::npos) << name;
}
