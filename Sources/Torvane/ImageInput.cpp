#include "Torvane/ImageInput.h"

#include "Torvane/ContentHash.h"
#include "Torvane/platform/FileSystem.h"

namespace torvane {

namespace {

[[noreturn]] void refuse() { throw PoseError(PoseErrorCode::unreadableImage, ImageInput::unreadableMessage); }

// One read serves the hash and the pixels, so the hash always belongs to the pixels that
// were analysed, even if the file is replaced meanwhile; the name is never parsed for
// decoder options ("a.jpg[shrink=8]" is just a name).
std::string photoBytes(const std::filesystem::path& path) {
    std::string bytes;
    try {
        bytes = platform::readFile(path, platform::photoFileLimit);
    } catch (const std::filesystem::filesystem_error&) {
        refuse();
    }
    if (bytes.empty()) refuse();
    return bytes;
}

// The limits are checked on the stored size from the header, before any pixel is decoded,
// so an oversized or lying file costs nothing to refuse.
platform::ImageHeader checkedHeader(std::string_view bytes) {
    auto header = platform::photoHeader(bytes);
    if (!header || !ImageInput::withinLimits(header->storedWidth, header->storedHeight)) refuse();
    return *header;
}

}  // namespace

ImageInput ImageInput::load(const std::filesystem::path& path) {
    const std::string bytes = photoBytes(path);
    checkedHeader(bytes);
    platform::Raster image = platform::decodePhotoUpright(bytes);
    if (image.empty()) refuse();  // truncated or corrupt image data
    return ImageInput{std::move(image), contentHash(bytes)};
}

ImageInput ImageInput::loadNamingFile(const std::filesystem::path& path) {
    try {
        return load(path);
    } catch (const PoseError& e) {
        if (e.message() != unreadableMessage) throw;
        throw PoseError(PoseErrorCode::unreadableImage, namedFailure(path));
    }
}

std::string ImageInput::namedFailure(const std::filesystem::path& path) {
    const std::string shown = "\"" + platform::printable(path.string()) + "\"";
    std::string detail = "Photo: " + shown + ".";
    try {
        if (platform::readFile(path, platform::photoFileLimit).empty()) detail = shown + " is empty.";
    } catch (const std::filesystem::filesystem_error& e) {
        detail = e.what();  // says what is wrong and names the file
    }
    return std::string(unreadableMessage) + " " + detail;
}

ImageProbe ImageInput::probe(const std::filesystem::path& path) {
    const std::string bytes = photoBytes(path);
    const platform::ImageHeader header = checkedHeader(bytes);
    const bool turned = header.orientation >= 5 && header.orientation <= 8;
    return ImageProbe{turned ? header.storedHeight : header.storedWidth,
                      turned ? header.storedWidth : header.storedHeight, contentHash(bytes)};
}

platform::Raster ImageInput::cropped(const PixelRect& rect) const {
    rect.validate(image.width(), image.height());
    platform::Raster region = image.crop(static_cast<int>(rect.x), static_cast<int>(rect.y),
                                         static_cast<int>(rect.width), static_cast<int>(rect.height));
    if (region.empty()) throw PoseError(PoseErrorCode::unreadableImage, "Unable to crop image.");
    return region;
}

}  // namespace torvane
