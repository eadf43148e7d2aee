#include "dispsmooth/dispsmooth.hpp"

namespace dispsmooth {

error::error(const std::string &message) : std::runtime_error(message) {}

// Defined here, so that the class's type information has one home.
error::~error() = default;

}  // namespace dispsmooth

namespace dispsmooth {

cancelled::cancelled() : std::runtime_error("dispsmooth: the smoothing was cancelled") {}

cancelled::~cancelled() = default;

}  // namespace dispsmooth
