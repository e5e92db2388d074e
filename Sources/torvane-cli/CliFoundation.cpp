// manifest, image and localization commands.
#include "Cli.h"
#include "Torvane/ImageInput.h"
#include "Torvane/Localization.h"
#include "Torvane/SessionManifest.h"
#include "Torvane/platform/Raster.h"

namespace torvane::cli {

namespace {

int manifestCheck(const Args& a) {
    printRecord(SessionManifest::load(a.at(0)));
    return 0;
}

int manifestAsset(const Args& a) {
    auto manifest = SessionManifest::load(a.at(0));
    const std::string id = a.required("--pair");
    auto role = a.optional("--role");
    for (const auto& pair : manifest.pairs) {
        if (pair.id != id) continue;
        const RiderInput* rider = nullptr;
        if (role) {
            rider = pair.rider(*role);
            if (!rider) throw PoseError(PoseErrorCode::notFound, "Pair " + id + " has no rider with the role " + *role + ".");
        }
        printLine(SessionManifest::assetURL(pair, rider, a.at(0)).string());
        return 0;
    }
    throw PoseError(PoseErrorCode::notFound, "The manifest has no pair " + id + ".");
}

int imageInfo(const Args& a) {
    auto input = ImageInput::load(a.at(0));
    json::Value out = json::Value::object();
    out["width"] = input.width();
    out["height"] = input.height();
    out["sha256"] = input.sha256;
    printJson(out);
    return 0;
}

int imageCrop(const Args& a) {
    PixelRect rect = parseRect(a.required("--rect"));
    std::string out = a.required("--out");
    auto input = ImageInput::load(a.at(0));
    auto region = input.cropped(rect);
    if (!platform::writePNG(region, out)) throw PoseError(PoseErrorCode::writeFailed, "Cannot create output PNG.");
    printLine(out);
    return 0;
}

int localizationEvaluate(const Args& a) {
    auto predicted = readRecord<std::map<std::string, Point2>>(a.required("--predicted"));
    auto annotations = readRecord<std::vector<Landmark>>(a.required("--annotations"));
    std::optional<double> torso;
    if (auto t = a.optional("--torso-length")) {
        try {
            std::size_t used = 0;
            torso = std::stod(*t, &used);
            if (used != t->size()) throw std::invalid_argument("trailing");
        } catch (const std::logic_error&) {
            throw UsageError("--torso-length must be a number");
        }
    }
    printRecord(Localization::evaluate(predicted, annotations, torso));
    return 0;
}

}  // namespace

std::vector<Command> foundationCommands() {
    return {
        {"manifest", "check", "SESSION_JSON", "Load and validate a session manifest; print it as JSON.", {}, {}, 1,
         manifestCheck},
        {"manifest", "asset", "SESSION_JSON --pair ID [--role ROLE]",
         "Print the resolved absolute path of a pair's photo, or of its rider with that role.", {},
         {"--pair", "--role"}, 1, manifestAsset},
        {"image", "info", "PHOTO", "Print the upright size and SHA-256 of a photo.", {}, {}, 1, imageInfo},
        {"image", "crop", "PHOTO --rect X,Y,W,H --out OUT.png", "Cut a rectangle of the upright photo into a PNG.",
         {}, {"--rect", "--out"}, 1, imageCrop},
        {"localization", "evaluate", "--predicted PRED.json --annotations ANN.json [--torso-length L]",
         "Score annotated landmarks against predicted joints.", {},
         {"--predicted", "--annotations", "--torso-length"}, 0, localizationEvaluate},
    };
}

}  // namespace torvane::cli
