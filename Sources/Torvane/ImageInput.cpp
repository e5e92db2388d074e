#include "Torvane/ImageInput.h"

#include "Torvane/ContentHash.h"

namespace torvane {

ImageInput ImageInput::load(const std::filesystem::path& url) {
    // The limits are checked on the stored size from the header, before any pixel is
    // decoded, so an oversized or lying file costs nothing to refuse.
    auto header = platform::readImageHeader(url);
    if (!header) throw PoseError(PoseErrorCode::unreadableImage, unreadableMessage);
    if (!withinLimits(header->storedWidth, header->storedHeight))
        throw PoseError(PoseErrorCode::unreadableImage, unreadableMessage);

    platform::Raster image = platform::decodeUpright(url);
    if (image.empty()) throw PoseError(PoseErrorCode::unreadableImage, "Unable to normalize image orientation.");

    return ImageInput{std::move(image), contentHashOfFile(url)};
}

ImageProbe ImageInput::probe(const std::filesystem::path& url) {
    auto header = platform::readImageHeader(url);
    if (!header || !withinLimits(header->storedWidth, header->storedHeight))
        throw PoseError(PoseErrorCode::unreadableImage, unreadableMessage);
    const bool turned = header->orientation >= 5 && header->orientation <= 8;
    return ImageProbe{turned ? header->storedHeight : header->storedWidth,
                      turned ? header->storedWidth : header->storedHeight, contentHashOfFile(url)};
}

platform::Raster ImageInput::cropped(const PixelRect& rect) const {
    rect.validate(image.width(), image.height());
    platform::Raster region = image.crop(static_cast<int>(rect.x), static_cast<int>(rect.y),
                                         static_cast<int>(rect.width), static_cast<int>(rect.height));
    if (region.empty()) throw PoseError(PoseErrorCode::unreadableImage, "Unable to crop image.");
    return region;
}

}  // namespace torvane
