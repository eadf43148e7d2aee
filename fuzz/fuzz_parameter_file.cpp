// Fuzz target: reading "kelv_input.txt" and choosing the codecs for the
// names it holds.  The reader returns false with a message instead of ending
// the process, so this target runs in-process, without a child.
#include "dispsmooth/driver.h"
#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
        // A name comes back whole, whatever its length, and without
        // whitespace; the codec lookup takes any of them.
        for (const std::string *name :
             {&params.filename_image, &params.filename_disp, &params.filename_disp_smooth}) {
            if (name->empty() || std::strlen(name->c_str()) != name->size()) __builtin_trap();
            (void)codec_for_filename(name->c_str());
        }
    }
    return 0;
}
