// The TF.js importer against TensorFlow.js itself: golden outputs made by
// scripts/golden/make-golden.mjs from the same graphs and inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "Torvane/Json.h"
#include "Torvane/platform/FileSystem.h"
#include "Torvane/platform/PoseModels.h"
#include "Torvane/platform/TfjsGraph.h"

using namespace torvane;
using namespace torvane::test;
using namespace torvane::platform;
namespace fs = std::filesystem;

namespace {

const fs::path goldenFolder = fs::path(TORVANE_SOURCE_DIR) / "Tests" / "golden";

json::Value golden(const std::string& name) { return json::parse(readFile(goldenFolder / name)); }

// The input a golden file was made from: a committed PNG, scaled.
std::vector<float> goldenInput(const json::Value& description) {
    const double scale = description.at("scale").get<double>();
    const double shift = description.at("shift").get<double>();
    std::vector<float> input;
    Raster image = decodeUpright(goldenFolder / description.at("file").get<std::string>());
    EXPECT_FALSE(image.empty());
    const std::size_t n = static_cast<std::size_t>(image.width()) * image.height() * 3;
    for (std::size_t i = 0; i < n; ++i) input.push_back(static_cast<float>(image.data()[i] * scale + shift));
    return input;
}

// The largest deviation from the golden samples, in units of the tolerance: 1e-3 of the
// value's size (at least 1e-3 absolute). Below 1 passes.
double worstDeviation(const Tensor& actual, const json::Value& expected) {
    EXPECT_EQ(actual.shape, expected.at("shape").get<std::vector<int>>());
    const auto stride = expected.at("stride").get<std::size_t>();
    const auto& samples = expected.at("samples");
    double worst = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double want = samples[i].get<double>();
        const double got = actual.values.at(i * stride);
        worst = std::max(worst, std::abs(got - want) / (1e-3 * std::max(1.0, std::abs(want))));
    }
    double sum = 0;
    for (float v : actual.values) sum += v;
    const double sumTolerance = 1e-4 * std::max(1.0, expected.at("absSum").get<double>());
    return std::max(worst, std::abs(sum - expected.at("sum").get<double>()) / sumTolerance);
}

struct Case {
    const char* file;
    PoseModels::Network network;
    std::vector<std::string> outputs;  // golden output names in the network's output order
};

const std::vector<std::string> moveNetOutputs = {
    "StatefulPartitionedCall/Sigmoid", "StatefulPartitionedCall/Sigmoid_1",
    "StatefulPartitionedCall/kpt_regress_0/conv2d_6/BiasAdd", "StatefulPartitionedCall/kpt_offset_0/conv2d_7/BiasAdd"};

const std::vector<Case> cases = {
    {"movenet-messi.json", PoseModels::Network::moveNet, moveNetOutputs},
    {"detector-messi.json", PoseModels::Network::detector, {"Identity"}},
    {"landmarks-messi.json", PoseModels::Network::landmarks, {"Identity_2", "Identity_4", "Identity_3"}},
};

}  // namespace

// Every head of every network on a real photo, and MoveNet's decoding against the graph's own
// final keypoints.
TEST(PoseGolden, NetworksMatchTensorFlowJs) {
    const PoseModels& models = PoseModels::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const json::Value g = golden(c.file);
        const auto outputs = models.run(c.network, goldenInput(g.at("input")));
        ASSERT_EQ(outputs.size(), c.outputs.size());
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            SCOPED_TRACE(c.outputs[i]);
            EXPECT_LT(worstDeviation(outputs[i], g.at("outputs").at(c.outputs[i])), 1.0);
        }
        if (c.network == PoseModels::Network::moveNet) {
            // The graph's final output is [y, x, score] per keypoint.
            const auto& expected = g.at("outputs").at("Identity").at("samples");
            const auto keypoints = models.decodeMoveNet(outputs);
            for (std::size_t k = 0; k < 17; ++k) {
                EXPECT_NEAR(keypoints[k].y, expected[3 * k].get<double>(), 1e-4) << cocoKeypoints[k];
                EXPECT_NEAR(keypoints[k].x, expected[3 * k + 1].get<double>(), 1e-4) << cocoKeypoints[k];
                EXPECT_NEAR(keypoints[k].score, expected[3 * k + 2].get<double>(), 1e-4) << cocoKeypoints[k];
            }
        }
    }
}

namespace {

// A copy of a model in `folder`, with its JSON text edited.
void editedModel(const fs::path& folder, const std::string& name, const std::function<void(std::string&)>& edit) {
    std::string text = readFile(defaultPoseModelFolder() / (name + ".json"));
    edit(text);
    writeFileAtomically(folder / (name + ".json"), text);
    fs::create_symlink(defaultPoseModelFolder() / (name + ".bin"), folder / (name + ".bin"));
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

// The comparison is tight enough to notice a subtle conversion mistake: resizing with
// corner-aligned instead of half-pixel sampling.
TEST(PoseGolden, CatchesABrokenConversion) {
    test::TempDir scratch;
    const fs::path& folder = scratch.path();
    editedModel(folder, "blazepose-detector", [](std::string& text) {
        replaceAll(text, "\"half_pixel_centers\":{\"b\":true}", "\"half_pixel_centers\":{\"b\":false}");
    });
    auto graph = TfjsGraph::load(folder / "blazepose-detector.json", {"Identity"});
    const json::Value g = golden("detector-messi.json");
    auto input = goldenInput(g.at("input"));
    auto outputs = graph.run(input.data());
    EXPECT_GT(worstDeviation(outputs[0], g.at("outputs").at("Identity")), 1.0);
}

namespace {

// A one-convolution model written by hand into `folder`/`tag`: input [1,4,4,3], a 1x1
// Conv2D to 2 channels, then `extraNodes`.
fs::path tinyModel(const fs::path& scratch, const std::string& tag, const std::string& extraNodes, const std::string& output) {
    fs::path folder = scratch / tag;
    fs::create_directories(folder);
    std::string json = R"({"format":"graph-model","modelTopology":{"node":[
      {"name":"input","op":"Placeholder","attr":{"dtype":{"type":"DT_FLOAT"},"shape":{"shape":{"dim":[{"size":"1"},{"size":"4"},{"size":"4"},{"size":"3"}]}}}},
      {"name":"w","op":"Const","attr":{"dtype":{"type":"DT_FLOAT"},"value":{"tensor":{}}}},
      {"name":"conv","op":"Conv2D","input":["input","w"],"attr":{"T":{"type":"DT_FLOAT"},"strides":{"list":{"i":["1","1","1","1"]}},"padding":{"s":"U0FNRQ=="},"data_format":{"s":"TkhXQw=="},"dilations":{"list":{"i":["1","1","1","1"]}}}})" +
                       extraNodes + R"(]},"weightsManifest":[{"paths":["tiny.bin"],"weights":[{"name":"w","shape":[1,1,3,2],"dtype":"float32"}]}],"output":")" + output + "\"}";
    writeFileAtomically(folder / "tiny.json", json);
    std::vector<float> w = {1, 0, 0, 1, 0, 0};  // channel 0 -> out 0, channel 1 -> out 1
    std::string bytes(reinterpret_cast<const char*>(w.data()), w.size() * sizeof(float));
    writeFileAtomically(folder / "tiny.bin", bytes);
    return folder;
}

std::string loadError(const fs::path& model, const std::string& output) {
    return messageOf([&] { TfjsGraph::load(model, {output}); });
}

}  // namespace

// What the importer does not know, and files it cannot use, fail the load with a message
// that names the op, the attribute or the file.
TEST(PoseGolden, ImporterFailsLoudly) {
    test::TempDir scratch;
    fs::path ok = tinyModel(scratch.path(), "ok", "", "conv");
    EXPECT_NO_THROW(TfjsGraph::load(ok / "tiny.json", {"conv"})) << "the model the others change is sound";

    fs::path unknownOp = tinyModel(scratch.path(), "op", R"(,{"name":"soft","op":"Softplus","input":["conv"]})", "soft");
    std::string message = loadError(unknownOp / "tiny.json", "soft");
    EXPECT_NE(message.find("Softplus"), std::string::npos) << message;
    EXPECT_NE(message.find("soft"), std::string::npos) << message;

    fs::path unknownAttribute = tinyModel(scratch.path(), "attr", R"(,{"name":"act","op":"Relu","input":["conv"],"attr":{"alpha":{"f":0.2}}})", "act");
    message = loadError(unknownAttribute / "tiny.json", "act");
    EXPECT_NE(message.find("alpha"), std::string::npos) << message;

    // Truncated weights: PoseDetector.BrokenModelFilesGiveErrorResults.
    fs::remove(ok / "tiny.bin");
    message = loadError(ok / "tiny.json", "conv");
    EXPECT_NE(message.find((ok / "tiny.bin").string()), std::string::npos) << message;
}
