// The one PNG encoder of the library: lossless 8-bit RGB, every row "up"-filtered, one zlib
// stream compressed by libdeflate at level 1. Measured on a 24 MP photo canvas: about twice
// as fast as zlib level 1 (which libvips uses) and a few per cent smaller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace torvane::platform {

enum class PNGExport { written, cannotCreate, failed };

// A complete PNG file in memory, made without touching the file system, so that pictures can
// be encoded on worker threads and written in order later.
class EncodedPNG {
public:
    // Calls `row(y, rgb)` once per row, top to bottom, to fill 3 * width bytes of RGB, then
    // `rowsRead` (when given) before compressing, so that the source can be freed early.
    // nullopt when the size is not encodable or memory runs out.
    static std::optional<EncodedPNG> encode(int width, int height,
                                            const std::function<void(int y, std::uint8_t* rgb)>& row,
                                            const std::function<void()>& rowsRead = {});

    const std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }

    // Creates (or truncates) the file and writes the bytes: `cannotCreate` when the file
    // cannot be opened, `failed` when writing it fails.
    PNGExport write(const std::filesystem::path& file) const;

private:
    EncodedPNG(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size) : bytes_(std::move(bytes)), size_(size) {}
    std::unique_ptr<std::uint8_t[]> bytes_;  // capacity beyond size_ is never touched, so it costs no memory
    std::size_t size_ = 0;
};

}  // namespace torvane::platform
