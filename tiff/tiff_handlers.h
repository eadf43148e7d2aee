// libtiff's message handlers, shared by the tool's TIFF codec and the 16-bit
// reader and writer of the disparity files.
#ifndef DISPSMOOTH_TIFF_TIFF_HANDLERS_H
#define DISPSMOOTH_TIFF_TIFF_HANDLERS_H

#include <tiffio.h>

#include "common/codec_failure.h"

namespace dispsmooth::tiff_detail {

// What libtiff's handlers of one file's open, decode or write work on: the
// errors it reported for the file are counted; a call that keeps the
// library's messages (failure->capture_library_messages) keeps the first
// one, in the default handler's words, and drops the warnings, where
// otherwise both go on to libtiff's default handlers.
struct tiff_messages {
    int errors;
    codec_failure *failure;
};

// The open options that install both handlers on messages, to be released
// with TIFFOpenOptionsFree; null when they cannot be allocated.
TIFFOpenOptions *open_options(tiff_messages *messages);

}  // namespace dispsmooth::tiff_detail

#endif
