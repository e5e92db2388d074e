#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <random>

#include "TestSupport.h"
#include "Torvane/ImageInput.h"
#include "Torvane/Json.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

std::string loadError(const fs::path& file) { return messageOf([&] { ImageInput::load(file); }); }

void put32(std::string& s, uint32_t v) {
    for (int shift : {24, 16, 8, 0}) s.push_back(static_cast<char>((v >> shift) & 0xff));
}

// A PNG made of a header chunk only, claiming any size: tiny on disk, huge if decoded.
std::string pngClaiming(uint32_t width, uint32_t height) {
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr = "IHDR";
    put32(ihdr, width);
    put32(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    put32(png, 13);
    png += ihdr;
    put32(png, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(ihdr.data()), static_cast<uInt>(ihdr.size()))));
    std::string iend = "IEND";
    put32(png, 0);
    png += iend;
    put32(png, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(iend.data()), 4)));
    return png;
}

long maxRssKB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

TEST(ImageInput, OrientationIsAppliedAndCropsUseTheUprightSize) {
    TempDir dir;
    test::writePhoto(dir / "r.jpg", 400, 300, 6);
    auto input = ImageInput::load(dir / "r.jpg");
    EXPECT_EQ(input.width(), 300);
    EXPECT_EQ(input.height(), 400);
    EXPECT_EQ(ImageInput::probe(dir / "r.jpg"), (ImageProbe{300, 400, input.sha256}));
    EXPECT_THROW(input.cropped({0, 0, 400, 300}), PoseError);
    // Orientation 6 turns the stored top-left corner (black in the gradient) to the top right.
    const uint8_t* p = input.image.data();
    int w = input.width();
    EXPECT_LT(p[(w - 1) * 3], 40);
    EXPECT_GT(p[0] + p[1], 200);
}

TEST(ImageInput, FormatsAndFirstPageOnly) {
    TempDir dir;
    test::writePhoto(dir / "p.png", 64, 48);
    test::writePhoto(dir / "t.tif", 64, 48, 1, 3);
    test::writePhoto(dir / "h.heic", 64, 48);
    for (const char* name : {"p.png", "t.tif", "h.heic"}) {
        auto input = ImageInput::load(dir / name);
        EXPECT_EQ(input.width(), 64) << name;
        EXPECT_EQ(input.height(), 48) << name;
        EXPECT_EQ(ImageInput::probe(dir / name), (ImageProbe{64, 48, input.sha256})) << name;
    }
}

TEST(ImageInput, HashFollowsTheBytesNotThePixels) {
    TempDir dir;
    test::writePhoto(dir / "a.jpg", 32, 32);
    // Trailing bytes after the JPEG end marker change the file, not the picture.
    test::writeText(dir / "b.jpg", platform::readFile(dir / "a.jpg") + "x");
    auto a = ImageInput::load(dir / "a.jpg"), b = ImageInput::load(dir / "b.jpg");
    EXPECT_NE(a.sha256, b.sha256);
    EXPECT_EQ(0, memcmp(a.image.data(), b.image.data(), 32 * 32 * 3));
}

TEST(ImageInput, SizeLimitsAreCheckedOnTheHeader) {
    TempDir dir;
    const std::string limit = ImageInput::unreadableMessage;
    test::writeText(dir / "huge.png", pngClaiming(100000, 100000));
    test::writeText(dir / "side.png", pngClaiming(16001, 100));
    test::writeText(dir / "area.png", pngClaiming(8000, 5001));
    long before = maxRssKB();
    EXPECT_EQ(loadError(dir / "huge.png"), limit);
    EXPECT_EQ(loadError(dir / "side.png"), limit);
    EXPECT_EQ(loadError(dir / "area.png"), limit);
    EXPECT_THROW(ImageInput::probe(dir / "huge.png"), PoseError);
    EXPECT_LT(maxRssKB() - before, 16 * 1024);  // refused without allocating pixels
    EXPECT_TRUE(ImageInput::withinLimits(16000, 2500));  // exactly 40 megapixels; one more: the files above
    EXPECT_FALSE(ImageInput::withinLimits(0, 10));
}

TEST(ImageInput, CroppingValidatesAgainstTheUprightImage) {
    TempDir dir;
    test::writePhoto(dir / "a.png", 40, 30);
    auto input = ImageInput::load(dir / "a.png");
    auto part = input.cropped({10, 5, 20, 10});
    ASSERT_EQ(part.width(), 20);
    EXPECT_EQ(part.data()[0], input.image.data()[(5 * 40 + 10) * 3]);
    EXPECT_THROW(input.cropped({0.5, 0, 10, 10}), PoseError);  // its message: Geometry tests
}

// Truncated and garbled photos give only the documented errors.
TEST(ImageInput, FuzzedInputsGiveOnlyDocumentedErrors) {
    TempDir dir;
    test::writePhoto(dir / "a.jpg", 48, 32);
    test::writePhoto(dir / "a.png", 48, 32);
    test::writePhoto(dir / "a.tif", 48, 32);
    std::mt19937 random(7);
    for (const char* name : {"a.jpg", "a.png", "a.tif"}) {
        const std::string original = platform::readFile(dir / name);
        for (int round = 0; round < 60; ++round) {
            std::string bytes = original;
            if (round % 2 == 0) {
                bytes.resize(random() % bytes.size());
            } else {
                for (int flips = 0; flips < 1 + round / 10; ++flips)
                    bytes[random() % bytes.size()] = static_cast<char>(random());
            }
            fs::path file = dir / (std::string("f-") + name);
            test::writeText(file, bytes);
            try {
                auto input = ImageInput::load(file);
                EXPECT_GT(input.width(), 0);
            } catch (const PoseError& e) {
                std::string m = e.what();
                EXPECT_TRUE(m == ImageInput::unreadableMessage || m == "Unable to normalize image orientation.") << m;
            }
        }
    }
}
