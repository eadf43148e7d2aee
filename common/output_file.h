// Output files that replace their target only once they are complete.
//
// A writer asks begin_output_file how to write its file.  Usually that is a
// new file beside the target, in the same directory, named
// ".<name>.dispsmooth-XXXXXX" (six random letters or digits), which is
// renamed over the target only after the writer has written, flushed,
// fsync'ed and closed it without error.  Until then the previous file of
// that name (or the input the run read from it) stays untouched, and every
// way the process can end except SIGKILL or a power cut removes the new
// file: the writer's own failure paths through discard_output_file, exit()
// through an atexit handler, and SIGHUP, SIGINT, SIGTERM, SIGXFSZ and
// SIGABRT through handlers that remove it and then end the process as the
// signal would have.
//
// The target is written in place, as a plain open of its name would, when
// replacing it could change more than its contents: a name that is a
// symbolic link, a device, a FIFO or anything else but a regular file; a
// file with other hard links; a file whose owner or group the new file
// cannot take; a file the process may not write; and a directory where no
// new file can be created.
#ifndef DISPSMOOTH_COMMON_OUTPUT_FILE_H
#define DISPSMOOTH_COMMON_OUTPUT_FILE_H

#include <cstdio>

namespace dispsmooth {

// One output being written.  Plain data without a destructor, so that it may
// live between a recovery point and a jump back to it.
struct temp_file_slot;

struct output_file {
    const char *target;     // the caller's file name, used in every message
    char *temp_path;        // the new file's name in dir_fd; null when writing in place
    int temp_fd;            // read-write descriptor of the new file; -1 when writing in place
    int dir_fd;             // the directory of target and of the new file; -1 when in place
    temp_file_slot *guard;  // where the new file is registered for removal at a sudden end
};

// Fills *out for writing filename.  With a temporary file, out->temp_fd is
// open on it (the target's permission bits, owner and group already set)
// and the writer writes through it; otherwise out->temp_fd is -1 and the
// writer opens filename itself, exactly as without this step.  Never fails:
// whatever keeps a temporary file from being made means writing in place.
void begin_output_file(const char *filename, output_file *out);

// Flushes the temporary file's contents to the disk (fsync of fd, the
// descriptor the writer's stream uses) before the writer closes it.  True
// when writing in place.  False with errno set when fsync failed.
bool sync_output_file(const output_file *out, int fd);

// After the writer has closed its stream without error: renames the
// temporary file over the target.  True on success, or when writing in
// place.  On failure the temporary file is removed and false returned with
// errno set.  Either way *out is finished with.
bool commit_output_file(output_file *out);

// Finishes an output written through the stream fp: flushes it (an error
// the stream has already seen counts), syncs it to the disk, closes it and
// commits it.  On any failure removes the new file and returns false with
// errno set to the cause; fp is closed either way.
bool close_output_file(std::FILE *fp, output_file *out);

// On any failure of the writer: removes the temporary file, leaving the
// target as it was.  Does not close the descriptor, which the writer's
// stream owns.  Nothing to do when writing in place.
void discard_output_file(output_file *out);

}  // namespace dispsmooth

#endif
