#include "batch/frame_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace dispsmooth::batch {

namespace {

namespace fs = std::filesystem;

bool is_directory(const std::string &path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// The extensions of the files a folder's maps and images may be.
bool is_image_name(const fs::path &name) {
    std::string ext = name.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".png" || ext == ".pfm" || ext == ".tif" || ext == ".tiff" || ext == ".jpg" ||
           ext == ".jpeg";
}

// The output's name for a disparity named `name`: its own, with the
// extension of the output encoding where that differs from the input's.
fs::path output_name(fs::path name, const batch_options &options) {
    if (!options.output_encoding) return name;
    const bool pfm_name = name.extension() == ".pfm" || name.extension() == ".PFM";
    if (*options.output_encoding == encoding::pfm && !pfm_name) name.replace_extension(".pfm");
    if (*options.output_encoding != encoding::pfm && pfm_name) name.replace_extension(".png");
    return name;
}

// The regular files of dir with image extensions, sorted; hidden files
// (a writer's temporary files among them) left out.
std::vector<fs::path> image_files(const fs::path &dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec)) {
        const fs::path name = entry.path().filename();
        if (name.string().starts_with(".") || !is_image_name(name)) continue;
        std::error_code type_ec;
        if (entry.is_regular_file(type_ec)) files.push_back(entry.path());
    }
    if (ec) throw usage_error("cannot list \"" + dir.string() + "\": " + ec.message());
    std::sort(files.begin(), files.end());
    return files;
}

// KITTI's layout: each map of disparity_dir with the image of the same
// name in reference_dir (or, failing that, the same stem with another
// image extension).
void match_folders(const fs::path &reference_dir, const fs::path &disparity_dir,
                   const batch_options &options, std::vector<frame> *frames) {
    const std::vector<fs::path> references = image_files(reference_dir);
    std::map<std::string, fs::path> by_stem;
    for (const fs::path &r : references) by_stem.emplace(r.stem().string(), r);
    for (const fs::path &d : image_files(disparity_dir)) {
        frame f;
        f.disparity = d.string();
        const fs::path same = reference_dir / d.filename();
        std::error_code ec;
        if (fs::is_regular_file(same, ec)) {
            f.reference = same.string();
        } else if (const auto it = by_stem.find(d.stem().string()); it != by_stem.end()) {
            f.reference = it->second.string();
        } else {
            f.missing_reference =
                "no reference image of that name in \"" + reference_dir.string() + "\"";
        }
        f.output = (fs::path(options.out_dir) / output_name(d.filename(), options)).string();
        frames->push_back(f);
    }
}

// Middlebury's layout: every folder under scenes_dir, itself included,
// that holds both names.
void find_scenes(const fs::path &scenes_dir, const batch_options &options,
                 std::vector<frame> *frames) {
    std::vector<fs::path> dirs = {scenes_dir};
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(scenes_dir, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code type_ec;
        if (it->is_directory(type_ec) && !it->is_symlink(type_ec)) dirs.push_back(it->path());
    }
    std::sort(dirs.begin() + 1, dirs.end());
    for (const fs::path &dir : dirs) {
        const fs::path reference = dir / options.reference_name;
        const fs::path disparity = dir / options.disparity_name;
        std::error_code e1;
        std::error_code e2;
        if (!fs::is_regular_file(reference, e1) || !fs::is_regular_file(disparity, e2)) continue;
        frame f;
        f.reference = reference.string();
        f.disparity = disparity.string();
        const fs::path relative = dir.lexically_relative(scenes_dir);
        f.output = (fs::path(options.out_dir) / relative /
                    output_name(fs::path(options.disparity_name), options))
                       .lexically_normal()
                       .string();
        frames->push_back(f);
    }
    if (frames->empty())
        throw usage_error("no folder of \"" + scenes_dir.string() + "\" holds both " +
                          options.reference_name + " and " + options.disparity_name);
}

void add_pair(const std::string &reference, const std::string &disparity,
              const batch_options &options, std::vector<frame> *frames) {
    frame f;
    f.reference = reference;
    f.disparity = disparity;
    f.output =
        (fs::path(options.out_dir) / output_name(fs::path(disparity).filename(), options)).string();
    frames->push_back(f);
}

void read_list(const std::string &list_file, const batch_options &options,
               std::vector<frame> *frames) {
    std::ifstream in(list_file);
    if (!in) throw usage_error("cannot read the list \"" + list_file + "\"");
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string::size_type hash = line.find('#');
        if (hash != std::string::npos) line.erase(hash);
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string w; words >> w;) tokens.push_back(w);
        if (tokens.empty()) continue;
        if (tokens.size() != 2)
            throw usage_error("line " + std::to_string(number) + " of \"" + list_file +
                              "\" holds " + std::to_string(tokens.size()) +
                              " names; it must hold a reference and a disparity");
        add_pair(tokens[0], tokens[1], options, frames);
    }
    if (in.bad()) throw usage_error("cannot read the list \"" + list_file + "\"");
    if (frames->empty()) throw usage_error("the list \"" + list_file + "\" holds no pair");
}

// A file's identity, where it exists.
struct file_id {
    dev_t device;
    ino_t inode;
    bool operator<(const file_id &o) const {
        return device != o.device ? device < o.device : inode < o.inode;
    }
};

bool identify(const std::string &path, file_id *id) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

std::string canonical_name(const std::string &path) {
    std::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    return ec ? fs::path(path).lexically_normal().string() : p.string();
}

// No output may be an input (by name, through a link, or as the same file
// under another name) or another frame's output.
void refuse_clashes(const std::vector<frame> &frames) {
    std::map<std::string, std::string> inputs;
    std::map<file_id, std::string> input_ids;
    for (const frame &f : frames)
        for (const std::string *name : {&f.reference, &f.disparity}) {
            if (name->empty()) continue;
            inputs.emplace(canonical_name(*name), *name);
            file_id id{};
            if (identify(*name, &id)) input_ids.emplace(id, *name);
        }
    std::map<std::string, std::string> outputs;
    for (const frame &f : frames) {
        const std::string canonical = canonical_name(f.output);
        if (const auto it = inputs.find(canonical); it != inputs.end())
            throw usage_error("the output \"" + f.output + "\" would replace the input \"" +
                              it->second + "\"");
        file_id id{};
        if (identify(f.output, &id))
            if (const auto it = input_ids.find(id); it != input_ids.end())
                throw usage_error("the output \"" + f.output + "\" is the input \"" + it->second +
                                  "\"");
        const auto [it, fresh] = outputs.emplace(canonical, f.disparity);
        if (!fresh)
            throw usage_error("\"" + it->second + "\" and \"" + f.disparity +
                              "\" would both be written to \"" + f.output + "\"");
    }
}

}  // namespace

std::vector<frame> plan_frames(const batch_options &options) {
    std::vector<frame> frames;
    const std::vector<std::string> &in = options.inputs;
    if (!options.list_file.empty()) {
        read_list(options.list_file, options, &frames);
    } else if (in.size() == 1) {
        if (!is_directory(in[0]))
            throw usage_error("\"" + in[0] +
                              "\" is not a folder of scenes; files come in pairs of a reference "
                              "and a disparity");
        find_scenes(in[0], options, &frames);
    } else if (in.size() == 2 && (is_directory(in[0]) || is_directory(in[1]))) {
        if (!is_directory(in[0]) || !is_directory(in[1]))
            throw usage_error("\"" + in[0] + "\" and \"" + in[1] +
                              "\": give two folders or two files");
        match_folders(in[0], in[1], options, &frames);
        if (frames.empty()) throw usage_error("no disparity map in \"" + in[1] + "\"");
    } else {
        if (in.size() % 2 != 0)
            throw usage_error(std::to_string(in.size()) +
                              " files given; they come in pairs of a reference and a disparity");
        for (std::size_t i = 0; i < in.size(); i += 2) {
            if (is_directory(in[i]) || is_directory(in[i + 1]))
                throw usage_error("folders and pairs of files do not go together");
            add_pair(in[i], in[i + 1], options, &frames);
        }
    }
    refuse_clashes(frames);
    return frames;
}

}  // namespace dispsmooth::batch
