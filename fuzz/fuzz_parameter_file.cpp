// Fuzz target: reading "kelv_input.txt" and choosing the codecs for the
// names it holds.  The reader returns false with a message instead of ending
// the process, so this target runs in-process, without a child.
#include "dispsmooth/driver.h"
#include "fuzz/harness.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = std::string(fuzz_harness::scratch_dir()) + "/input.txt";
    std::FILE *fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr || (size > 0 && std::fwrite(data, 1, size, fp) != size) ||
        std::fclose(fp) != 0) {
        std::perror("fuzz harness: cannot write the parameter file");
        std::abort();
    }

    run_parameters params;
    if (read_parameter_file(path.c_str(), &params)) {
        // A name comes back whole: non-empty, without whitespace and no
        // longer than PATH_MAX.  It may hold NUL bytes, as a "%s" token may;
        // every use of it (echo, codec choice, opening) sees it up to the
        // first one.  The codec lookup takes any of them.
        for (const std::string *name :
             {&params.filename_image, &params.filename_disp, &params.filename_disp_smooth}) {
            if (name->empty() || name->size() > PATH_MAX) __builtin_trap();
            for (const char c : *name)
                if (std::isspace(static_cast<unsigned char>(c))) __builtin_trap();
            (void)codec_for_filename(name->c_str());
        }
    }
    return 0;
}
