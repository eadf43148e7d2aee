// How a codec's core reports a failure to its caller instead of ending the
// process.  The tool's routines print the record's message and end the
// process as they always have; the error-reporting API throws it.
#ifndef DISPSMOOTH_COMMON_CODEC_FAILURE_H
#define DISPSMOOTH_COMMON_CODEC_FAILURE_H

namespace dispsmooth {

enum class codec_failure_kind {
    none,
    file,           // the file cannot be opened, read or written, or is damaged
    request,        // what was asked cannot be done (size out of range, ...)
    out_of_memory,  // a refused allocation
};

// Plain data without a destructor, so that it may live between a recovery
// point and a jump back to it.
struct codec_failure {
    // Set by the caller.  False (the tool): the libraries' own messages go
    // to standard error through their default handlers, as always.  True
    // (the API): the first such error message is kept in library_message
    // instead, and the libraries' warnings are not printed.
    bool capture_library_messages = false;

    codec_failure_kind kind = codec_failure_kind::none;
    // The library's message, as its default handler would have printed it
    // (without the newline); empty when none was kept.
    char library_message[4608] = {};
    // The codec's own message, one or more lines, each ending in a newline.
    // Both hold a message naming a file of the longest path (PATH_MAX, 4096).
    char message[4608] = {};
};

// Records a failure: kind and the printf-formatted message (a newline is
// appended).  A second failure does not overwrite the first.
void set_codec_failure(codec_failure *failure, codec_failure_kind kind, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Keeps the library's message, the first one only.
void keep_library_message(codec_failure *failure, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The tool's end of a failed codec call: writes the message to standard
// error and ends the process, with abort() or exit(1).
[[noreturn]] void end_process_after(const codec_failure &failure, bool abort_process);

}  // namespace dispsmooth

#endif
