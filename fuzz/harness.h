// Fuzz harness shared by the reader targets.  The readers end the process
// on a bad file by design (exit status 1 or abort() after a message), so
// each input runs in a forked child and the parent judges how the child
// ended.  See fuzz/README.md for the scheme.
#ifndef DISPSMOOTH_FUZZ_HARNESS_H
#define DISPSMOOTH_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>

namespace fuzz_harness {

// How a reader ends the process on a file it refuses.
enum class refusal { exit_status_1, abort_after_message };

// Decodes the file at path (any readers the target wants), checks what it
// returned and releases it.  Runs in the child.
using reader_run = void (*)(const char *path);

// Writes data to a private temporary file named "input.<extension>", runs
// reader on it in a forked child and waits for it.  Expected ends: the
// reader returns (the child then checks for leaks), or the refusal of the
// reader's kind with a message on standard error.  Anything else -- a
// sanitizer report, another exit status or signal, a refusal without a
// message, a child still running after its time limit -- is a finding: the
// child's standard error is copied to ours and the process traps, which
// libFuzzer records as a crash and the replay tool as a failure.
void run_reader_in_child(const std::uint8_t *data, std::size_t size, const char *extension,
                         reader_run reader, refusal expected);

// Checks a decoded array of count samples: every sample 0..255 (a finding
// otherwise).  Reading every sample also lets the sanitizers see it.
void check_samples(const int *arr, long long count);

// check_samples, then free(arr): what a target does with each array a
// reader handed it.
void check_and_free(int *arr, long long count);

// A private temporary directory of this process, created on first use and
// removed when the process exits.
const char *scratch_dir();

}  // namespace fuzz_harness

#endif
