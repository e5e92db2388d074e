#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "Torvane/ContentHash.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

namespace {

struct DigestContext {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    DigestContext() {
        if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 is unavailable.");
    }
    void update(const void* data, std::size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        static const char digits[] = "0123456789abcdef";
        std::string out;
        out.reserve(length * 2);
        for (unsigned int i = 0; i < length; ++i) {
            out.push_back(digits[digest[i] >> 4]);
            out.push_back(digits[digest[i] & 15]);
        }
        return out;
    }
};

}  // namespace

std::string contentHash(std::string_view bytes) {
    DigestContext digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex();
}

std::string contentHashOfFile(const std::filesystem::path& file) {
    int fd = platform::openRegularFile(file);  // a named pipe or device is refused, never waited on
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    DigestContext digest;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            platform::throwFileError("cannot read", file, err);
        }
        digest.update(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    return digest.hex();
}

std::string platform::Env::randomUUID() const {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) throw std::runtime_error("No random bytes are available.");
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> b(bytes);
    if (bytes && RAND_bytes(b.data(), static_cast<int>(bytes)) != 1) throw std::runtime_error("No random bytes are available.");
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : b) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

}  // namespace torvane
