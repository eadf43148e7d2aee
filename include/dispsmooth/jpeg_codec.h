// JPEG files <-> in-memory pixel arrays.
//
// Readers decode colour and greyscale JPEGs to R, G, B samples; the gray
// reader keeps the red sample.  Arrays are allocated with calloc and belong
// to the caller (release with free).  Writers store the low 8 bits of every
// int as a three-component JPEG at quality 85; gray images are written with
// R = G = B.  A reader that cannot open or decode its file writes a message
// to standard error and ends the process with abort(); a writer that cannot
// create its file writes "can't open <name>" and exits with status 1.
#ifndef DISPSMOOTH_JPEG_CODEC_H
#define DISPSMOOTH_JPEG_CODEC_H

void read_jpeg_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);
void read_jpeg_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);

void write_rgb_image_arr_into_jpeg(const char *filename, int width, int height,
                                   const int *image_arr);
void write_image_arr_into_jpeg(const char *filename, int width, int height, const int *image_arr);

#endif
