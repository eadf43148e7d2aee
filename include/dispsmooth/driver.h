// The run driver: parameter file, codec choice by file-name extension, and
// the whole run from reading the inputs to writing the smoothed map.
#ifndef DISPSMOOTH_DRIVER_H
#define DISPSMOOTH_DRIVER_H

#include <string>

// The six run parameters of "kelv_input.txt", in file order.
struct run_parameters {
    std::string filename_image;  // reference image
    std::string filename_disp;   // disparity map
    int radius = 0;
    double sigma_space = 0.0;
    double sigma_color = 0.0;
    std::string filename_disp_smooth;  // output
};

// Reads the six whitespace-separated tokens of the parameter file at path,
// echoing each one on standard output as it is read.  Returns true on
// success; otherwise writes a message naming the file and the parameter that
// could not be read to standard error and returns false.
bool read_parameter_file(const char *path, run_parameters *pparams);

// Readers and writer of one image format.
struct image_codec {
    const char *name;
    void (*read_rgb)(const char *filename, int *pw, int *ph, int **pimage_arr);
    void (*read_gray)(const char *filename, int *pw, int *ph, int **pimage_arr);
    void (*write_gray)(const char *filename, int width, int height, const int *image_arr);
};

// The codec that serves filename, chosen by the text after its last "."
// (case-sensitive), or nullptr when the extension is not recognised.
const image_codec *codec_for_filename(const char *filename);

// One whole run in the current directory; returns the exit status.
int run_dispsmooth();

// The command line's only recognised uses: "--help" or "--version" as the
// one and only argument.  For these, prints the usage text or the version
// information on standard output, stores the exit status (0, or 1 with a
// message on standard error when standard output cannot be written) in
// *pstatus and returns true.  For any other command line returns false and
// leaves *pstatus alone: the arguments are ignored and the run goes ahead.
bool handle_info_option(int argc, char **argv, int *pstatus);

// Writes "dispsmooth <version>" and the versions of libtiff, libpng and
// libjpeg in use to standard output; returns false when that failed.
bool print_version_info();

#endif
