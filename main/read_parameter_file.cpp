#include "dispsmooth/driver.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The file is only read: a failed close loses nothing.
struct file_closer {
    void operator()(std::FILE *fp) const { (void)std::fclose(fp); }
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

// No token can be longer than this: no file name longer than a path the
// system can open, and no number either.  A longer one is refused as soon as
// its first PATH_MAX + 1 characters are read, so that a huge token costs
// neither memory nor the time to read the rest of it.
const std::size_t max_token_length = PATH_MAX;

enum class token_scan { ok, missing, too_long };

// A maximal run of non-whitespace characters, as "%s" reads it, of up to
// max_token_length characters.  missing when the file ends before the token
// starts.
token_scan read_string_token(std::FILE *fp, std::string *ptoken) {
    int c = skip_space(fp);
    if (c == EOF) return token_scan::missing;
    ptoken->clear();
    while (c != EOF && !std::isspace(static_cast<unsigned char>(c))) {
        if (ptoken->size() == max_token_length) return token_scan::too_long;
        ptoken->push_back(static_cast<char>(c));
        c = std::getc(fp);
    }
    // Pushing back the one character just read cannot fail.
    if (c != EOF) (void)std::ungetc(c, fp);
    return token_scan::ok;
}

enum class int_scan { ok, no_digits, out_of_range, too_long };

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
        if (c != EOF) (void)std::ungetc(c, fp);
        return int_scan::no_digits;
    }
    // Accumulate the magnitude; past INT_MAX + 1 only the remaining digits
    // are consumed so that the token ends where "%d" would end it.
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    bool too_large = false;
    while (c != EOF && std::isdigit(static_cast<unsigned char>(c))) {
        if (ptext->size() == max_token_length) return int_scan::too_long;
        ptext->push_back(static_cast<char>(c));
        if (!too_large) {
            magnitude = magnitude * 10 + (c - '0');
            if (magnitude > limit) too_large = true;
        }
        c = std::getc(fp);
    }
    if (c != EOF) (void)std::ungetc(c, fp);
    if (too_large || (!negative && magnitude == limit)) return int_scan::out_of_range;
    *pvalue = static_cast<int>(negative ? -magnitude : magnitude);
    return int_scan::ok;
}

// Reads a number the way "%lg" does, but refuses one of more than
// max_token_length characters instead of reading it whole.
token_scan read_double_token(std::FILE *fp, double *pvalue) {
    // A field width one past the limit: a conversion that fills it is a
    // number longer than the limit.
    static_assert(max_token_length == 4096, "the width in the format below");
    int start = 0;
    int end = 0;
    // NOLINTNEXTLINE(cert-err34-c): the number is read exactly as "%lg" reads it
    if (std::fscanf(fp, " %n%4097lg%n", &start, pvalue, &end) != 1) return token_scan::missing;
    if (static_cast<std::size_t>(end - start) > max_token_length) return token_scan::too_long;
    return token_scan::ok;
}

// The message for a token longer than max_token_length.
bool report_too_long(const char *path, int number, const char *what) {
    (void)std::fflush(stdout);
    (void)std::fprintf(stderr,
                       "dispsmooth: \"%s\": parameter %d (%s) is longer than %zu characters\n",
                       path, number, what, max_token_length);
    return false;
}

// The message for a parameter that could not be read: the stream's own error
// when reading failed, otherwise which parameter is missing or malformed.
bool report_unreadable(const char *path, std::FILE *fp, int number, const char *what) {
    const int saved_errno = errno;
    (void)std::fflush(stdout);
    if (std::ferror(fp)) {
        (void)std::fprintf(stderr, "dispsmooth: cannot read parameter file \"%s\": %s\n", path,
                           std::strerror(saved_errno));
    } else {
        (void)std::fprintf(stderr, "dispsmooth: \"%s\": cannot read parameter %d (%s)\n", path,
                           number, what);
    }
    return false;
}

}  // namespace

bool read_parameter_file(const char *path, run_parameters *pparams) {
    file_handle fp(std::fopen(path, "r"));
    if (!fp) {
        const int saved_errno = errno;
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "dispsmooth: cannot open parameter file \"%s\": %s\n", path,
                           std::strerror(saved_errno));
        return false;
    }
    std::FILE *f = fp.get();

    switch (read_string_token(f, &pparams->filename_image)) {
    case token_scan::ok:
        break;
    case token_scan::missing:
        return report_unreadable(path, f, 1, "reference image file name");
    case token_scan::too_long:
        return report_too_long(path, 1, "reference image file name");
    }
    std::printf("reference image = %s\n", pparams->filename_image.c_str());

    switch (read_string_token(f, &pparams->filename_disp)) {
    case token_scan::ok:
        break;
    case token_scan::missing:
        return report_unreadable(path, f, 2, "disparity map file name");
    case token_scan::too_long:
        return report_too_long(path, 2, "disparity map file name");
    }
    std::printf("disparity map = %s\n", pparams->filename_disp.c_str());

    std::string radius_text;
    switch (read_int_token(f, &pparams->radius, &radius_text)) {
    case int_scan::ok:
        break;
    case int_scan::no_digits:
        return report_unreadable(path, f, 3, "radius, an integer");
    case int_scan::too_long:
        return report_too_long(path, 3, "radius");
    case int_scan::out_of_range:
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr,
                           "dispsmooth: \"%s\": parameter 3 (radius) %s is outside the range of an "
                           "int (%d..%d)\n",
                           path, radius_text.c_str(), INT_MIN, INT_MAX);
        return false;
    }
    std::printf("radius = %d\n", pparams->radius);

    switch (read_double_token(f, &pparams->sigma_space)) {
    case token_scan::ok:
        break;
    case token_scan::missing:
        return report_unreadable(path, f, 4, "sigma_space, a number");
    case token_scan::too_long:
        return report_too_long(path, 4, "sigma_space");
    }
    std::printf("sigma_space = %g\n", pparams->sigma_space);

    switch (read_double_token(f, &pparams->sigma_color)) {
    case token_scan::ok:
        break;
    case token_scan::missing:
        return report_unreadable(path, f, 5, "sigma_color, a number");
    case token_scan::too_long:
        return report_too_long(path, 5, "sigma_color");
    }
    std::printf("sigma_color = %g\n", pparams->sigma_color);

    switch (read_string_token(f, &pparams->filename_disp_smooth)) {
    case token_scan::ok:
        break;
    case token_scan::missing:
        return report_unreadable(path, f, 6, "smoothed disparity map file name");
    case token_scan::too_long:
        return report_too_long(path, 6, "smoothed disparity map file name");
    }
    std::printf("smoothed disparity map = %s\n", pparams->filename_disp_smooth.c_str());

    return true;
}
