// libpng's message handlers, shared by the tool's PNG codec and the 16-bit
// reader and writer of the disparity files.
#ifndef DISPSMOOTH_PNG_PNG_HANDLERS_H
#define DISPSMOOTH_PNG_PNG_HANDLERS_H

#include <png.h>

namespace dispsmooth::png_detail {

// The version string the codecs were written against; libpng accepts any
// 1.6.x for it.
extern const char *const png_version;

// For a call that keeps libpng's messages, with its codec_failure as the
// error pointer: the error's text is kept in the failure record (in the
// words libpng's default handler prints) before the jump back to the
// recovery point; warnings are dropped.
void keep_png_error(png_structp png, png_const_charp message);
void drop_png_warning(png_structp png, png_const_charp message);

}  // namespace dispsmooth::png_detail

#endif
