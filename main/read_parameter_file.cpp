#include "dispsmooth/driver.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct file_closer {
    void operator()(std::FILE *fp) const { std::fclose(fp); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// Skips whitespace and returns the first other character (or EOF).
int skip_space(std::FILE *fp) {
    int c;
    do {
        c = std::getc(fp);
    } while (c != EOF && std::isspace(static_cast<unsigned char>(c)));
    return c;
}

// A maximal run of non-whitespace characters, of any length, as "%s" reads
// it.  False when the file ends before the token starts.
bool read_string_token(std::FILE *fp, std::string *ptoken) {
    int c = skip_space(fp);
    if (c == EOF) return false;
    ptoken->clear();
    while (c != EOF && !std::isspace(static_cast<unsigned char>(c))) {
        ptoken->push_back(static_cast<char>(c));
        c = std::getc(fp);
    }
    if (c != EOF) std::ungetc(c, fp);
    return true;
}

enum class int_scan { ok, no_digits, out_of_range };

// Reads a decimal integer the way "%d" consumes one (whitespace, an optional
// sign, then digits up to the first non-digit, which stays unread), but
// checks the range instead of overflowing.  *ptext receives the characters
// consumed, for the message about an out-of-range value.
int_scan read_int_token(std::FILE *fp, int *pvalue, std::string *ptext) {
    ptext->clear();
    int c = skip_space(fp);
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = (c == '-');
        ptext->push_back(static_cast<char>(c));
        c = std::getc(fp);
    }
    if (c == EOF || !std::isdigit(static_cast<unsigned char>(c))) {
        if (c != EOF) std::ungetc(c, fp);
        return int_scan::no_digits;
    }
    // Accumulate the magnitude; past INT_MAX + 1 only the remaining digits
    // are consumed so that the token ends where "%d" would end it.
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    bool too_large = false;
    while (c != EOF && std::isdigit(static_cast<unsigned char>(c))) {
        ptext->push_back(static_cast<char>(c));
        if (!too_large) {
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > limit) too_large = true;
        }
        c = std::getc(fp);
    }
    if (c != EOF) std::ungetc(c, fp);
    if (too_large || (!negative && magnitude == limit)) return int_scan::out_of_range;
    *pvalue = static_cast<int>(negative ? -magnitude : magnitude);
    return int_scan::ok;
}

// The message for a parameter that could not be read: the stream's own error
// when reading failed, otherwise which parameter is missing or malformed.
bool report_unreadable(const char *path, std::FILE *fp, int number, const char *what) {
    const int saved_errno = errno;
    std::fflush(stdout);
    if (std::ferror(fp)) {
        std::fprintf(stderr, "dispsmooth: cannot read parameter file \"%s\": %s\n", path,
                     std::strerror(saved_errno));
    } else {
        std::fprintf(stderr, "dispsmooth: \"%s\": cannot read parameter %d (%s)\n", path, number,
                     what);
    }
    return false;
}

}  // namespace

bool read_parameter_file(const char *path, run_parameters *pparams) {
    file_handle fp(std::fopen(path, "r"));
    if (!fp) {
        const int saved_errno = errno;
        std::fflush(stdout);
        std::fprintf(stderr, "dispsmooth: cannot open parameter file \"%s\": %s\n", path,
                     std::strerror(saved_errno));
        return false;
    }
    std::FILE *f = fp.get();

    if (!read_string_token(f, &pparams->filename_image))
        return report_unreadable(path, f, 1, "reference image file name");
    std::printf("reference image = %s\n", pparams->filename_image.c_str());

    if (!read_string_token(f, &pparams->filename_disp))
        return report_unreadable(path, f, 2, "disparity map file name");
    std::printf("disparity map = %s\n", pparams->filename_disp.c_str());

    std::string radius_text;
    switch (read_int_token(f, &pparams->radius, &radius_text)) {
    case int_scan::ok:
        break;
    case int_scan::no_digits:
        return report_unreadable(path, f, 3, "radius, an integer");
    case int_scan::out_of_range:
        std::fflush(stdout);
        std::fprintf(stderr,
                     "dispsmooth: \"%s\": parameter 3 (radius) %s is outside the range of an "
                     "int (%d..%d)\n",
                     path, radius_text.c_str(), INT_MIN, INT_MAX);
        return false;
    }
    std::printf("radius = %d\n", pparams->radius);

    if (std::fscanf(f, "%lg", &pparams->sigma_space) != 1)
        return report_unreadable(path, f, 4, "sigma_space, a number");
    std::printf("sigma_space = %g\n", pparams->sigma_space);

    if (std::fscanf(f, "%lg", &pparams->sigma_color) != 1)
        return report_unreadable(path, f, 5, "sigma_color, a number");
    std::printf("sigma_color = %g\n", pparams->sigma_color);

    if (!read_string_token(f, &pparams->filename_disp_smooth))
        return report_unreadable(path, f, 6, "smoothed disparity map file name");
    std::printf("smoothed disparity map = %s\n", pparams->filename_disp_smooth.c_str());

    return true;
}
