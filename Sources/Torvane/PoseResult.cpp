#include "Torvane/PoseResult.h"

namespace torvane {

const JointResult* PoseResult::joint(std::string_view name) const {
    for (const auto& j : joints)
        if (j.name == name) return &j;
    return nullptr;
}

}  // namespace torvane
