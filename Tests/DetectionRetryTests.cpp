// Detection retries: the photo check and the crop check before any detector runs.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "Torvane/ContentHash.h"
#include "Torvane/DetectionRetry.h"
#include "Torvane/platform/FileSystem.h"

using namespace torvane;
using namespace torvane::test;
namespace fs = std::filesystem;

namespace {

// Scripted detectors that count their calls.
struct Counting {
    int calls = 0;
    PoseEstimates estimates() {
        PoseEstimates e;
        e.estimate2D = [this](const platform::Raster& image, const PixelRect&) {
            ++calls;
            PoseResult r{"2D", "noPose", 1, 0, {}, std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt};
            r.candidateCount = image.width();  // proves which image was passed
            return r;
        };
        e.estimate3D = [this](const platform::Raster&, const PixelRect&) {
            ++calls;
            return PoseResult{"3D", "noPose", 1, 0, {}, std::nullopt, std::nullopt, std::nullopt, 0, std::nullopt};
        };
        return e;
    }
};

const fs::path messi = test::samplePhoto("messi5.jpg");

std::string failure(const RetryRequest& request, const PoseEstimates& estimates) {
    return messageOf([&] { request.run(estimates); });
}

}  // namespace

TEST(DetectionRetry, RefusesAChangedPhotoOrABadCropBeforeDetecting) {
    test::TempDir folder;
    const std::string hash = contentHashOfFile(messi);
    Counting counting;

    std::string other = hash;
    other.back() = other.back() == '0' ? '1' : '0';
    EXPECT_EQ(failure({messi, other, {0, 0, 100, 100}}, counting.estimates()), "Source photo changed.");
    EXPECT_EQ(failure({messi, "", {0, 0, 100, 100}}, counting.estimates()), "Source photo changed.");

    // The same picture with bytes appended after the image data decodes the same but is a
    // different file.
    fs::path resaved = folder / "resaved.jpg";
    platform::writeFileAtomically(resaved, platform::readFile(messi) + "trailing metadata");
    EXPECT_EQ(failure({resaved, hash, {0, 0, 100, 100}}, counting.estimates()), "Source photo changed.");

    EXPECT_EQ(failure({messi, hash, {0.5, 0, 100, 100}}, counting.estimates()),
              "Crop is outside the image or not integral pixels.");
    EXPECT_EQ(failure({messi, hash, {500, 0, 100, 100}}, counting.estimates()),
              "Crop is outside the image or not integral pixels.");
    EXPECT_NE(failure({folder / "missing.jpg", hash, {0, 0, 10, 10}}, counting.estimates()), "no error");
    EXPECT_EQ(counting.calls, 0);

    DetectionRetry retry = RetryRequest{messi, hash, {10, 20, 120, 90}}.run(counting.estimates());
    EXPECT_EQ(counting.calls, 2);
    EXPECT_EQ(retry.crop, (PixelRect{10, 20, 120, 90}));
    ASSERT_TRUE(retry.twoD && retry.threeD);
    EXPECT_EQ(retry.twoD->kind, "2D");
    EXPECT_EQ(retry.twoD->candidateCount, 120);
    EXPECT_EQ(retry.threeD->kind, "3D");
}
