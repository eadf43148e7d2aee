// TIFF files <-> in-memory pixel arrays.
//
// Readers decode any TIFF that libtiff's RGBA interface can decode, return
// width and height through pw/ph and arrays allocated with the standard
// allocator (release them with free).  Gray readers keep the red sample of
// every pixel.  Writers store the low 8 bits of every int, uncompressed,
// top-left orientation.  On any failure (unreadable or undecodable file,
// oversized image, failed write) a message naming the file goes to standard
// error and the process exits with status 1.
#ifndef DISPSMOOTH_TIFF_CODEC_H
#define DISPSMOOTH_TIFF_CODEC_H

void read_tiff_into_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);
void read_tiff_into_image_alpha_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                    int **palpha_arr);
void read_tiff_into_rgb_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr);
void read_tiff_into_rgba_image_arr(const char *filename, int *pw, int *ph, int **pimage_arr,
                                   int **palpha_arr);

// One sample per pixel, min-is-black.
void write_image_arr_into_tiff(const char *file_name, int width, int heigh, const int *image_arr);
// Four samples per pixel (R, G, B, 255), photometric RGB.
void write_rgb_image_arr_into_tiff(const char *file_name, int width, int heigh,
                                   const int *image_arr);
// Four samples per pixel (R, G, B, alpha), photometric RGB.
void write_rgba_image_arr_into_tiff(const char *file_name, int width, int heigh,
                                    const int *image_arr, const int *alpha_arr);

// Writes w x h pixels of sampleperpixel interleaved 8-bit samples.
void write_tiff(const char *filename, const unsigned char *data, int w, int h, int sampleperpixel);

#endif
