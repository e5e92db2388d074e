// Content hashes and identifiers shared by reports, documents and file names.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace torvane {

// Lower-case hexadecimal SHA-256 of the bytes: 64 characters.
std::string contentHash(std::string_view bytes);

// The same hash of a file's bytes, read in large blocks; a read failure throws
// std::filesystem::filesystem_error.
std::string contentHashOfFile(const std::filesystem::path& file);

// `bytes` random bytes from the system's secure generator as lower-case hexadecimal.
std::string randomHex(std::size_t bytes);

}  // namespace torvane
