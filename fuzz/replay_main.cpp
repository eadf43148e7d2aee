// Replays files through a fuzz target without libFuzzer, so that the seed
// corpus and the recorded crashers run in any build (gcc, CTest).  Each
// argument is a file or a directory (searched recursively); with
// --ext=EXT[,EXT...] only files of those extensions are taken from
// directories (files named directly are always taken).  A finding ends the
// process abnormally, as under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    std::vector<std::string> extensions;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--ext=", 0) == 0) {
            std::stringstream list(arg.substr(6));
            std::string ext;
            while (std::getline(list, ext, ',')) extensions.push_back("." + ext);
            continue;
        }
        if (fs::is_directory(arg)) {
            std::vector<fs::path> found;
            for (const auto &entry : fs::recursive_directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                const std::string ext = entry.path().extension().string();
                if (extensions.empty() ||
                    std::find(extensions.begin(), extensions.end(), ext) != extensions.end())
                    found.push_back(entry.path());
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::is_regular_file(arg)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "replay: no such file or directory: %s\n", arg.c_str());
            return 2;
        }
    }
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu file(s), no finding\n", files.size());
    return 0;
}
