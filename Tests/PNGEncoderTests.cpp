// The PNG encoder against libvips' decoder and pngcheck: every file is a valid 8-bit RGB PNG
// whose decoded pixels equal the source byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "TestSupport.h"
#include "Torvane/platform/Canvas.h"
#include "Torvane/platform/PNGEncoder.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

platform::Raster noisePhoto(int width, int height) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
    std::mt19937 random(7);
    for (auto& b : rgb) b = static_cast<std::uint8_t>(random());
    return platform::Raster::fromRGB(width, height, rgb.data());
}

bool pngcheckAccepts(const fs::path& file) {
    return std::system(("pngcheck -q '" + file.string() + "' >/dev/null 2>&1").c_str()) == 0;
}

// Bit depth and colour type from the IHDR chunk, which always comes first.
std::pair<int, int> depthAndColourType(const fs::path& file) {
    const std::string bytes = platform::readFile(file);
    return {static_cast<std::uint8_t>(bytes.at(24)), static_cast<std::uint8_t>(bytes.at(25))};
}

}  // namespace

TEST(PNGEncoder, RastersDecodeToTheirExactBytesAndPassPngcheck) {
    ASSERT_EQ(std::system("command -v pngcheck >/dev/null 2>&1"), 0) << "scripts/setup.sh installs pngcheck";
    test::TempDir folder;
    const struct {
        const char* name;
        platform::Raster raster;
    } cases[] = {
        {"one pixel", plainPhoto(1, 1, 200)},
        {"one row", patternPhoto(333, 1)},
        {"one column", patternPhoto(1, 257)},
        {"gradient", patternPhoto(400, 300)},
        {"flat", plainPhoto(640, 480, 18)},
        {"noise (stored blocks)", noisePhoto(300, 200)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path file = folder / "out.png";
        ASSERT_TRUE(platform::writePNG(c.raster, file));
        EXPECT_TRUE(pngcheckAccepts(file));
        EXPECT_EQ(depthAndColourType(file), std::make_pair(8, 2));
        const platform::Raster decoded = platform::decodeUpright(file);
        ASSERT_EQ(decoded.width(), c.raster.width());
        ASSERT_EQ(decoded.height(), c.raster.height());
        EXPECT_EQ(std::memcmp(decoded.data(), c.raster.data(), std::size_t(c.raster.width()) * c.raster.height() * 3), 0);
    }
}

TEST(PNGEncoder, CanvasPicturesPassPngcheckWhicheverWayTheyAreEncoded) {
    ASSERT_EQ(std::system("command -v pngcheck >/dev/null 2>&1"), 0) << "scripts/setup.sh installs pngcheck";
    test::TempDir folder;
    auto canvas = platform::Canvas::create(517, 301);
    ASSERT_TRUE(canvas);
    canvas->fill(platform::Colour::grey(0.07));
    canvas->drawRaster(patternPhoto(300, 250), 3, 5);
    canvas->strokeLine(0, 0, 516, 300, {0, 1, 1, 1}, 1.5);
    canvas->strokeCircle(200, 100, 40, {1, 0.2, 0.8, 1}, 1);
    canvas->fillRect(350, 20, 100, 30, platform::Colour::grey(0, 0.75));
    canvas->text("3D \u00b7 UNREVIEWED", 352, 40, 14, platform::Colour::grey(1));

    ASSERT_EQ(canvas->writePNG(folder / "kept.png"), platform::PNGExport::written);
    EXPECT_TRUE(pngcheckAccepts(folder / "kept.png"));
    // Encoding that frees the canvas as it goes (the renderer's way, whose decoded pictures
    // RendererOutput compares with the photo byte for byte) makes the same file.
    const auto consumed = platform::Canvas::encodePNG(std::move(*canvas));
    ASSERT_TRUE(consumed);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(consumed->data()), consumed->size()),
              platform::readFile(folder / "kept.png"));
}

TEST(PNGEncoder, FailuresSayWhereTheyHappened) {
    test::TempDir folder;
    EXPECT_FALSE(platform::EncodedPNG::encode(0, 5, [](int, std::uint8_t*) {}));
    const auto png = platform::EncodedPNG::encode(2, 2, [](int, std::uint8_t* rgb) { std::memset(rgb, 9, 6); });
    ASSERT_TRUE(png);
    EXPECT_EQ(png->write(folder / "missing" / "x.png"), platform::PNGExport::cannotCreate);
    EXPECT_EQ(png->write("/dev/full"), platform::PNGExport::failed);
    EXPECT_EQ(png->write(folder / "x.png"), platform::PNGExport::written);
    EXPECT_EQ(fs::file_size(folder / "x.png"), png->size());
}
