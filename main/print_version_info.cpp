#include "dispsmooth/driver.h"
#include "dispsmooth/version.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace {

#define DISPSMOOTH_STRINGIZE_TOKENS(x) #x
#define DISPSMOOTH_STRINGIZE(x) DISPSMOOTH_STRINGIZE_TOKENS(x)

// libtiff's version text is several lines ("LIBTIFF, Version 4.5.0" and
// copyright lines): keep the number after "Version ", or the first line.
std::string tiff_version() {
    const char *text = TIFFGetVersion();
    if (text == nullptr) return "unknown";
    std::string first(text, std::strcspn(text, "\n"));
    const std::string::size_type at = first.find("Version ");
    return at == std::string::npos ? first : first.substr(at + 8);
}

}  // namespace

bool print_version_info() {
    std::printf("dispsmooth %s\n", DISPSMOOTH_VERSION);
    std::printf("libtiff %s\n", tiff_version().c_str());
    std::printf("libpng %s\n", png_get_libpng_ver(nullptr));
#ifdef LIBJPEG_TURBO_VERSION
    std::printf("libjpeg-turbo %s (libjpeg interface %d)\n",
                DISPSMOOTH_STRINGIZE(LIBJPEG_TURBO_VERSION), JPEG_LIB_VERSION);
#else
    std::printf("libjpeg interface %d\n", JPEG_LIB_VERSION);
#endif
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
}
