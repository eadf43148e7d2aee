// libtiff's message handlers and the end of a failed write, shared by the
// tool's TIFF codec and the 16-bit reader and writer of the disparity files.
#ifndef DISPSMOOTH_TIFF_TIFF_HANDLERS_H
#define DISPSMOOTH_TIFF_TIFF_HANDLERS_H

#include <tiffio.h>

#include "common/codec_failure.h"
#include "common/output_file.h"

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

// Ends a write that failed, closing tif: the previous file of that name
// stays as it was.  A file written in place is incomplete; it is removed
// rather than left looking like a result, but only when the name itself is
// a regular file, never a device, a symbolic link or anything else it may
// be.  Fills *failure and returns false.
bool abandon_write(TIFF *tif, output_file *out, codec_failure *failure);

}  // namespace dispsmooth::tiff_detail

#endif
