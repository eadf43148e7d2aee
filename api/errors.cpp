// The interface's exceptions, and the one a codec's failure becomes.
#include <new>
#include <string>

#include "api/api_internal.h"
#include "common/codec_failure.h"

namespace dispsmooth {

error::error(const std::string &message) : std::runtime_error(message) {}

// Defined here, so that the class's type information has one home.
error::~error() = default;

cancelled::cancelled() : std::runtime_error("dispsmooth: the smoothing was cancelled") {}

cancelled::~cancelled() = default;

file_error::file_error(const std::string &message) : error(message) {}

file_error::~file_error() = default;

namespace api {

namespace {

class codec_allocation_failure : public std::bad_alloc {
public:
    explicit codec_allocation_failure(const std::string &message) : message_(message) {}
    const char *what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

}  // namespace

void throw_codec_failure(const codec_failure &failure) {
    std::string message = failure.library_message;
    std::string own = failure.message;
    if (!own.empty() && own.back() == '\n') own.pop_back();
    if (!message.empty() && !own.empty()) message += '\n';
    message += own;
    if (failure.kind == codec_failure_kind::out_of_memory) throw codec_allocation_failure(message);
    if (failure.kind == codec_failure_kind::request) throw error(message);
    throw file_error(message);
}

}  // namespace api

}  // namespace dispsmooth
