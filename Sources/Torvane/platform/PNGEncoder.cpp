#include "Torvane/platform/PNGEncoder.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace torvane::platform {

namespace {

// Level 1 of libdeflate: the fastest level that still finds matches (see the header).
constexpr int compressionLevel = 1;
constexpr std::uint8_t upFilter = 2;
constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t ihdrChunk = 8 + 13 + 4;
constexpr std::size_t idatHead = 8;
constexpr std::size_t iendChunk = 12;
constexpr std::size_t maxChunk = 0x7fffffff;

std::uint8_t* put32(std::uint8_t* out, std::uint32_t v) {
    out[0] = std::uint8_t(v >> 24);
    out[1] = std::uint8_t(v >> 16);
    out[2] = std::uint8_t(v >> 8);
    out[3] = std::uint8_t(v);
    return out + 4;
}

// Writes a chunk's length and type; its data follows at the returned position.
std::uint8_t* chunkHead(std::uint8_t* out, std::uint32_t length, const char* type) {
    out = put32(out, length);
    std::memcpy(out, type, 4);
    return out + 4;
}

// The CRC of a chunk whose head starts at `chunk`, written after its data.
std::uint8_t* chunkTail(std::uint8_t* chunk, std::uint32_t length) {
    const std::uint32_t crc = libdeflate_crc32(0, chunk + 4, 4 + std::size_t(length));
    return put32(chunk + 8 + length, crc);
}

struct Compressor {
    libdeflate_compressor* c = libdeflate_alloc_compressor(compressionLevel);
    ~Compressor() {
        if (c) libdeflate_free_compressor(c);
    }
};

}  // namespace

std::optional<EncodedPNG> EncodedPNG::encode(int width, int height,
                                             const std::function<void(int y, std::uint8_t* rgb)>& row,
                                             const std::function<void()>& rowsRead) {
    if (width <= 0 || height <= 0) return std::nullopt;
    const std::size_t rowBytes = std::size_t(width) * 3;
    const std::size_t filteredSize = (rowBytes + 1) * std::size_t(height);
    try {
        Compressor compressor;
        if (!compressor.c) return std::nullopt;
        std::size_t total = 0;
        std::unique_ptr<std::uint8_t[]> bytes;
        {
            // Filtered rows, made from two small row buffers; freed as soon as they are compressed.
            auto filtered = std::make_unique_for_overwrite<std::uint8_t[]>(filteredSize);
            std::vector<std::uint8_t> previous(rowBytes, 0), current(rowBytes);
            for (int y = 0; y < height; ++y) {
                row(y, current.data());
                std::uint8_t* out = filtered.get() + std::size_t(y) * (rowBytes + 1);
                out[0] = upFilter;
                const std::uint8_t* now = current.data();
                const std::uint8_t* above = previous.data();
                for (std::size_t i = 0; i < rowBytes; ++i) out[1 + i] = std::uint8_t(now[i] - above[i]);
                current.swap(previous);
            }
            if (rowsRead) rowsRead();
            const std::size_t bound = libdeflate_zlib_compress_bound(compressor.c, filteredSize);
            bytes = std::make_unique_for_overwrite<std::uint8_t[]>(sizeof signature + ihdrChunk + idatHead + bound + 4 +
                                                                   iendChunk);
            std::uint8_t* idat = bytes.get() + sizeof signature + ihdrChunk;
            const std::size_t compressed = libdeflate_zlib_compress(compressor.c, filtered.get(), filteredSize,
                                                                    idat + idatHead, bound);
            if (compressed == 0 || compressed > maxChunk) return std::nullopt;
            total = compressed;
        }

        std::uint8_t* p = bytes.get();
        std::memcpy(p, signature, sizeof signature);
        std::uint8_t* ihdr = p + sizeof signature;
        std::uint8_t* data = chunkHead(ihdr, 13, "IHDR");
        data = put32(data, std::uint32_t(width));
        data = put32(data, std::uint32_t(height));
        const std::uint8_t rest[] = {8, 2, 0, 0, 0};  // 8 bits, RGB, deflate, adaptive filters, no interlace
        std::memcpy(data, rest, sizeof rest);
        std::uint8_t* idat = chunkTail(ihdr, 13);
        chunkHead(idat, std::uint32_t(total), "IDAT");
        std::uint8_t* iend = chunkTail(idat, std::uint32_t(total));
        chunkHead(iend, 0, "IEND");
        std::uint8_t* end = chunkTail(iend, 0);
        return EncodedPNG(std::move(bytes), std::size_t(end - p));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

PNGExport EncodedPNG::write(const std::filesystem::path& file) const {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return PNGExport::cannotCreate;
    const std::uint8_t* p = bytes_.get();
    std::size_t left = size_;
    bool ok = true;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= std::size_t(n);
    }
    if (::close(fd) != 0) ok = false;
    return ok ? PNGExport::written : PNGExport::failed;
}

}  // namespace torvane::platform
