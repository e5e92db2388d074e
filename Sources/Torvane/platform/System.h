// What the report records about the machine a run happened on.
#pragma once

#include <string>

namespace torvane::platform {

// One line describing the operating system and its version, for example
// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64".
std::string operatingSystemVersion();

// The processor architecture this library was built for: "arm64" on 64-bit ARM,
// "x86_64" on x86-64.
std::string machineArchitecture();

}  // namespace torvane::platform
