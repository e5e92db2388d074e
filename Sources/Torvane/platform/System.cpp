#include "Torvane/platform/System.h"

#include <sys/utsname.h>

#include <fstream>

namespace torvane::platform {

namespace {

// PRETTY_NAME of os-release, with its shell quoting removed; empty when unknown.
std::string prettyName() {
    for (const char* file : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

}  // namespace

std::string operatingSystemVersion() {
    std::string text = prettyName();
    struct utsname names {};
    if (::uname(&names) == 0) {
        std::string kernel = std::string(names.sysname) + " " + names.release;
        text = text.empty() ? kernel : text + ", " + kernel;
    }
    if (text.empty()) text = "unknown operating system";
    // The report promises one line of text.
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    return text;
}

std::string machineArchitecture() {
#if defined(__aarch64__)
    return "arm64";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__arm__)
    return "arm";
#elif defined(__i386__)
    return "i386";
#elif defined(__riscv) && __riscv_xlen == 64
    return "riscv64";
#else
    struct utsname names {};
    return ::uname(&names) == 0 ? std::string(names.machine) : std::string("unknown");
#endif
}

}  // namespace torvane::platform
