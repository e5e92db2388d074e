#include "Torvane/PoseError.h"

namespace torvane {

std::string describeError(const std::exception& error) { return error.what(); }

}  // namespace torvane
