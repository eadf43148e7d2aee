// PNG files <-> in-memory pixel arrays.
//
// Every colour type and bit depth is read as 8-bit R, G, B, A (16-bit samples
// cut to their high byte, grey copied to R, G and B, alpha from the file or a
// tRNS chunk, 255 otherwise).  Arrays are allocated with calloc and belong to
// the caller (release with free).  Writers store the low 8 bits of every int
// as 8-bit truecolour (with alpha for the RGBA writer); gray images are
// written with R = G = B.  Any failure ends the process with abort(), after
// libpng's own message where libpng raised the error.
#ifndef DISPSMOOTH_PNG_CODEC_H
#define DISPSMOOTH_PNG_CODEC_H

void read_png_into_rgba_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                  int **palpha_arr);
void read_png_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);
void read_png_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);

void write_rgba_image_arr_into_png(const char *filename, int width, int height,
                                   const int *image_arr, const int *alpha_arr);
void write_rgb_image_arr_into_png(const char *filename, int width, int height,
                                  const int *image_arr);
void write_image_arr_into_png(const char *filename, int width, int height, const int *image_arr);

#endif
