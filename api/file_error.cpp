#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth {

file_error::file_error(const std::string &message) : error(message) {}

file_error::~file_error() = default;

}  // namespace dispsmooth
