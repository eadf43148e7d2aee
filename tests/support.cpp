#include "tests/support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace test_support {

int exit_status_under_address_limit(long long extra_bytes, const std::function<int()> &body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        std::FILE *status = std::fopen("/proc/self/status", "r");
        char line[256];
        long long vm_kb = 0;
        while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
            if (std::sscanf(line, "VmSize: %lld kB", &vm_kb) == 1) break;
        if (status != nullptr) std::fclose(status);
        const auto bytes = static_cast<rlim_t>(vm_kb * 1024 + extra_bytes);
        const rlimit limit{bytes, bytes};
        if (vm_kb == 0 || setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::vector<int> random_ints(std::size_t n, int lo, int hi, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(lo, hi);
    std::vector<int> v(n);
    for (int &x : v) x = dist(gen);
    return v;
}

temp_dir::temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "dispsmooth-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

namespace {

// Starts the executable in dir, its standard output and error going to
// files in capture.
pid_t start_tool(const fs::path &dir, const fs::path &capture, const std::vector<std::string> &args,
                 int timeout_seconds, unsigned long long file_size_limit, bool ignore_sigxfsz) {
    const fs::path out_path = capture / "stdout";
    const fs::path err_path = capture / "stderr";
    std::vector<std::string> argv_strings = {DISPSMOOTH_EXE};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The test process may ignore or handle signals; the tool starts with
        // their default actions, as from a shell.
        for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGXFSZ, SIGABRT})
            signal(sig, SIG_DFL);
        // No core file in the run's directory from a run ended by a signal.
        const struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        if (file_size_limit != 0) {
            if (ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
            const struct rlimit limit = {static_cast<rlim_t>(file_size_limit),
                                         static_cast<rlim_t>(file_size_limit)};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        alarm(static_cast<unsigned>(timeout_seconds));
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

run_result wait_for_tool(pid_t pid, const fs::path &capture) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run_result result;
    result.exited = WIFEXITED(status);
    if (result.exited) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    if (fs::exists(capture / "stdout")) result.out = read_file(capture / "stdout");
    result.err = read_file(capture / "stderr");
    return result;
}

run_result run_tool(const fs::path &dir, const std::vector<std::string> &args, int timeout_seconds,
                    unsigned long long file_size_limit, bool ignore_sigxfsz) {
    temp_dir capture;
    const pid_t pid =
        start_tool(dir, capture.path(), args, timeout_seconds, file_size_limit, ignore_sigxfsz);
    return wait_for_tool(pid, capture.path());
}

background_run::background_run(const fs::path &dir, int timeout_seconds)
    : pid_(start_tool(dir, capture_.path(), {}, timeout_seconds, 0, true)) {}

background_run::~background_run() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

run_result background_run::wait() {
    run_result result = wait_for_tool(pid_, capture_.path());
    pid_ = 0;
    return result;
}

void write_parameter_file(const fs::path &dir, const std::string &text) {
    write_file(dir / "kelv_input.txt", text);
}

fs::path testdata_dir() {
    const fs::path dir = DISPSMOOTH_TESTDATA_DIR;
    std::error_code ec;
    return fs::is_directory(dir, ec) ? fs::canonical(dir) : fs::path();
}

std::vector<fs::path> testdata_files(const std::string &sub) {
    std::vector<fs::path> files;
    const fs::path root = testdata_dir();
    if (root.empty() || !fs::is_directory(root / sub)) return files;
    for (const auto &entry : fs::recursive_directory_iterator(root / sub)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace test_support
