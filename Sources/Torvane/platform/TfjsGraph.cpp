#include "Torvane/platform/TfjsGraph.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <numeric>
#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <set>

#include "Torvane/platform/FileSystem.h"

namespace torvane::platform {

float Tensor::at(std::initializer_list<int> index) const {
    if (index.size() != shape.size()) throw std::out_of_range("tensor index rank");
    std::size_t offset = 0;
    std::size_t i = 0;
    for (int k : index) {
        if (k < 0 || k >= shape[i]) throw std::out_of_range("tensor index");
        offset = offset * static_cast<std::size_t>(shape[i]) + static_cast<std::size_t>(k);
        ++i;
    }
    return values[offset];
}

struct TfjsGraph::Impl {
    mutable std::mutex mutex;
    mutable cv::dnn::Net net;
    std::vector<int> inputShape;
    std::vector<std::string> outputLayers;
    std::vector<std::vector<int>> outputShapes;  // TensorFlow order
    std::vector<bool> outputNCHW;
    std::map<std::string, Tensor> constants;
};

namespace {

using Json = nlohmann::json;

std::size_t elementCount(const std::vector<int>& shape) {
    std::size_t n = 1;
    for (int d : shape) n *= static_cast<std::size_t>(std::max(d, 0));
    return n;
}

std::string shapeText(const std::vector<int>& shape) {
    std::string s = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
    return s + "]";
}

std::string base64Decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    int value = 0, bits = -8;
    for (char c : text) {
        auto pos = alphabet.find(c);
        if (pos == std::string::npos) break;
        value = (value << 6) + static_cast<int>(pos);
        bits += 6;
        if (bits >= 0) {
            out.push_back(static_cast<char>((value >> bits) & 0xff));
            bits -= 8;
        }
    }
    return out;
}

// A tensor while the network is being built: a constant, or an output of a network layer.
struct Value {
    std::vector<int> shape;  // TensorFlow's logical shape
    bool isConst = false;
    std::vector<float> data;  // constants, TensorFlow order
    int layer = -1;
    int output = 0;
    bool nchw = false;  // stored as [1, C, H, W] for a logical [1, H, W, C] or [H, W, C]
    int blobRank = 0;   // rank of the stored blob for the other layouts
};

struct WeightEntry {
    std::vector<int> shape;
    std::string dtype;
    std::string storedType;  // dtype in the file (quantised)
    double scale = 1, min = 0;
    std::size_t offset = 0;
};

class Builder {
public:
    Builder(const std::filesystem::path& modelJson, TfjsGraph::Impl& impl) : file_(modelJson), impl_(impl) {
        std::string text;
        try {
            text = readFile(modelJson);
        } catch (const std::exception&) {
            fail("Pose model file " + modelJson.string() + " is missing or unreadable.");
        }
        try {
            Json doc = Json::parse(text);
            for (const auto& node : doc.at("modelTopology").at("node")) {
                nodes_[node.at("name").get<std::string>()] = node;
            }
            readWeights(doc.at("weightsManifest"));
        } catch (const Json::exception& e) {
            fail("Pose model file " + modelJson.string() + " is not a valid TF.js graph model (" + e.what() + ").");
        }
    }

    void build(const std::vector<std::string>& outputs) {
        for (const auto& name : outputs) {
            Value v = value(name);
            if (v.isConst) fail("Requested output " + name + " is a constant in " + file_.string() + ".");
            // Outputs get their own named identity layer so that they can be fetched by name.
            cv::dnn::LayerParams lp;
            std::string layerName = "output:" + name;
            int id = net().addLayer(layerName, "Identity", lp);
            net().connect(v.layer, v.output, id, 0);
            impl_.outputLayers.push_back(layerName);
            impl_.outputShapes.push_back(v.shape);
            impl_.outputNCHW.push_back(v.nchw);
        }
        // Keep the small constants that callers decode with (grids, weighting maps).
        for (const auto& [name, entry] : weights_) {
            if (elementCount(entry.shape) <= 16384) impl_.constants[name] = Tensor{entry.shape, decode(name, entry)};
        }
        if (inputName_.empty()) fail("Model " + file_.string() + " has no input on the path to its outputs.");
    }

private:
    [[noreturn]] static void fail(const std::string& message) { throw ModelError(message); }

    cv::dnn::Net& net() { return impl_.net; }

    void readWeights(const Json& manifest) {
        std::size_t offset = 0;
        for (const auto& group : manifest) {
            for (const auto& path : group.at("paths")) {
                auto binary = file_.parent_path() / path.get<std::string>();
                try {
                    bytes_ += readFile(binary);
                } catch (const std::exception&) {
                    fail("Pose model weights file " + binary.string() + " is missing or unreadable.");
                }
                lastBinary_ = binary;
            }
            for (const auto& w : group.at("weights")) {
                WeightEntry e;
                e.shape = w.at("shape").get<std::vector<int>>();
                e.dtype = w.at("dtype").get<std::string>();
                e.storedType = e.dtype;
                if (w.contains("quantization")) {
                    const auto& q = w.at("quantization");
                    e.storedType = q.at("dtype").get<std::string>();
                    if (q.contains("scale")) e.scale = q.at("scale").get<double>();
                    if (q.contains("min")) e.min = q.at("min").get<double>();
                }
                std::size_t width = 0;
                if (e.storedType == "float32" || e.storedType == "int32") width = 4;
                else if (e.storedType == "float16" || e.storedType == "uint16") width = 2;
                else if (e.storedType == "uint8" || e.storedType == "bool") width = 1;
                else fail("Unsupported weight type " + e.storedType + " for " + w.at("name").get<std::string>() + " in " + file_.string() + ".");
                e.offset = offset;
                offset += width * elementCount(e.shape);
                weights_[w.at("name").get<std::string>()] = e;
            }
        }
        if (bytes_.size() < offset)
            fail("Pose model weights file " + lastBinary_.string() + " is truncated: " + std::to_string(bytes_.size()) +
                 " bytes, the model needs " + std::to_string(offset) + ".");
    }

    std::vector<float> decode(const std::string& name, const WeightEntry& e) const {
        const std::size_t n = elementCount(e.shape);
        std::vector<float> out(n);
        const char* p = bytes_.data() + e.offset;
        // One loop per stored type: models hold millions of weights.
        if (e.storedType == "float32") {
            std::memcpy(out.data(), p, n * sizeof(float));
        } else if (e.storedType == "float16") {
            cv::Mat halves(1, static_cast<int>(n), CV_16F);
            std::memcpy(halves.data, p, n * 2);
            cv::Mat floats(1, static_cast<int>(n), CV_32F, out.data());
            halves.convertTo(floats, CV_32F);
        } else if (e.storedType == "int32") {
            std::vector<std::int32_t> ints(n);
            std::memcpy(ints.data(), p, n * 4);
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(ints[i]);
        } else if (e.storedType == "uint16") {
            std::vector<std::uint16_t> q(n);
            std::memcpy(q.data(), p, n * 2);
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(q[i] * e.scale + e.min);
        } else if (e.storedType == "uint8") {
            for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(static_cast<unsigned char>(p[i]) * e.scale + e.min);
        } else if (e.storedType == "bool") {
            for (std::size_t i = 0; i < n; ++i) out[i] = p[i] ? 1.0f : 0.0f;
        } else {
            fail("Unsupported weight type for " + name + ".");
        }
        return out;
    }

    const Json& node(const std::string& name) const {
        auto it = nodes_.find(name);
        if (it == nodes_.end()) fail("Model " + file_.string() + " has no node " + name + ".");
        return it->second;
    }

    static std::pair<std::string, int> splitRef(const std::string& ref) {
        auto colon = ref.rfind(':');
        if (colon == std::string::npos) return {ref, 0};
        return {ref.substr(0, colon), std::stoi(ref.substr(colon + 1))};
    }

    std::vector<std::string> inputsOf(const Json& n) const {
        std::vector<std::string> out;
        if (n.contains("input"))
            for (const auto& i : n.at("input")) {
                auto s = i.get<std::string>();
                if (!s.empty() && s[0] != '^') out.push_back(s);
            }
        return out;
    }

    // Attributes ---------------------------------------------------------------------------

    void checkAttributes(const Json& n, std::initializer_list<const char*> known) const {
        static const std::set<std::string> typeAttributes = {"T", "dtype", "Tidx", "Tshape", "Tpaddings", "Tdim",
                                                             "SrcT", "DstT", "Truncate", "N", "Index", "out_type",
                                                             "Tindices", "Tparams", "use_cudnn_on_gpu", "_output_shapes"};
        if (!n.contains("attr")) return;
        for (const auto& [key, _] : n.at("attr").items()) {
            if (typeAttributes.count(key)) continue;
            if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
                fail("Unsupported attribute " + key + " of " + n.at("op").get<std::string>() + " node " +
                     n.at("name").get<std::string>() + ".");
        }
    }

    static const Json* attr(const Json& n, const char* key) {
        if (!n.contains("attr") || !n.at("attr").contains(key)) return nullptr;
        return &n.at("attr").at(key);
    }

    std::string stringAttr(const Json& n, const char* key, const std::string& fallback = "") const {
        const Json* a = attr(n, key);
        return a && a->contains("s") ? base64Decode(a->at("s").get<std::string>()) : fallback;
    }

    long intAttr(const Json& n, const char* key, long fallback) const {
        const Json* a = attr(n, key);
        if (!a || !a->contains("i")) return fallback;
        const auto& i = a->at("i");
        return i.is_string() ? std::stol(i.get<std::string>()) : i.get<long>();
    }

    bool boolAttr(const Json& n, const char* key) const {
        const Json* a = attr(n, key);
        return a && a->contains("b") && a->at("b").get<bool>();
    }

    std::vector<long> intListAttr(const Json& n, const char* key) const {
        std::vector<long> out;
        const Json* a = attr(n, key);
        if (a && a->contains("list") && a->at("list").contains("i"))
            for (const auto& i : a->at("list").at("i"))
                out.push_back(i.is_string() ? std::stol(i.get<std::string>()) : i.get<long>());
        return out;
    }

    std::vector<std::string> stringListAttr(const Json& n, const char* key) const {
        std::vector<std::string> out;
        const Json* a = attr(n, key);
        if (a && a->contains("list") && a->at("list").contains("s"))
            for (const auto& s : a->at("list").at("s")) out.push_back(base64Decode(s.get<std::string>()));
        return out;
    }

    void requireNHWC(const Json& n) const {
        auto format = stringAttr(n, "data_format", "NHWC");
        if (format != "NHWC") fail("Unsupported data_format " + format + " of node " + n.at("name").get<std::string>() + ".");
    }

    void requireNoExplicitPadding(const Json& n) const {
        if (!intListAttr(n, "explicit_paddings").empty())
            fail("Unsupported attribute explicit_paddings of node " + n.at("name").get<std::string>() + ".");
    }

    // Values -------------------------------------------------------------------------------

    // Each tensor is converted once; references into the map stay valid.
    const Value& value(const std::string& ref) {
        auto [name, index] = splitRef(ref);
        std::string key = name + ":" + std::to_string(index);
        if (auto it = values_.find(key); it != values_.end()) return it->second;
        Value v = convert(node(name), index);
        return values_.emplace(key, std::move(v)).first->second;
    }

    Value constant(std::vector<int> shape, std::vector<float> data) {
        Value v;
        v.isConst = true;
        v.shape = std::move(shape);
        v.data = std::move(data);
        return v;
    }

    Value layerValue(int layer, std::vector<int> shape, bool nchw) {
        Value v;
        v.layer = layer;
        v.shape = std::move(shape);
        v.nchw = nchw;
        v.blobRank = nchw ? 4 : static_cast<int>(v.shape.size());
        return v;
    }

    int addLayer(const std::string& name, const std::string& type, cv::dnn::LayerParams& lp, const Value& input) {
        lp.name = name;
        lp.type = type;
        int id = net().addLayer(name, type, lp);
        net().connect(input.layer, input.output, id, 0);
        return id;
    }

    // A 4-D image tensor stored as NCHW; anything else cannot feed a spatial layer.
    Value image(const std::string& ref, const Json& consumer) {
        Value v = value(ref);
        if (v.isConst || !v.nchw || v.shape.size() != 4)
            fail("Node " + consumer.at("name").get<std::string>() + " needs a 4-D image input, " + ref + " has shape " +
                 shapeText(v.shape) + ".");
        return v;
    }

    const Value& constValue(const std::string& ref, const Json& consumer) {
        const Value& v = value(ref);
        if (!v.isConst)
            fail("Node " + consumer.at("name").get<std::string>() + " needs a constant for " + ref + ".");
        return v;
    }

    static int outputSize(int in, int kernel, int stride, int dilation, const std::string& padding) {
        if (padding == "SAME") return (in + stride - 1) / stride;
        int effective = (kernel - 1) * dilation + 1;
        return (in - effective) / stride + 1;
    }

    // One node of the graph as a converter sees it.
    struct Node {
        const Json& n;
        const std::string& op;
        const std::string& name;
        const std::vector<std::string>& inputs;

        void needInputs(std::size_t count) const {
            if (inputs.size() < count) fail("Node " + name + " (" + op + ") has too few inputs.");
        }
    };
    using Converter = Value (Builder::*)(const Node&);

    // The ops the importer knows, each with its converter.
    static const std::map<std::string, Converter, std::less<>>& converters() {
        static const std::map<std::string, Converter, std::less<>> table = {
            {"Const", &Builder::constantNode},
            {"Placeholder", &Builder::placeholder},
            {"Identity", &Builder::identity},
            {"Cast", &Builder::identity},
            {"ExpandDims", &Builder::batchAxis},
            {"Squeeze", &Builder::batchAxis},
            {"Unpack", &Builder::batchAxis},
            {"_FusedConv2D", &Builder::convolutionNode},
            {"Conv2D", &Builder::convolutionNode},
            {"DepthwiseConv2dNative", &Builder::convolutionNode},
            {"FusedDepthwiseConv2dNative", &Builder::convolutionNode},
            {"AddV2", &Builder::arithmeticNode},
            {"Add", &Builder::arithmeticNode},
            {"Sub", &Builder::arithmeticNode},
            {"Mul", &Builder::arithmeticNode},
            {"Relu", &Builder::activation},
            {"Relu6", &Builder::activation},
            {"Sigmoid", &Builder::activation},
            {"MaxPool", &Builder::maxPool},
            {"Pad", &Builder::pad},
            {"ResizeBilinear", &Builder::resizeBilinear},
            {"DepthToSpace", &Builder::depthToSpace},
            {"Reshape", &Builder::reshape},
            {"ConcatV2", &Builder::concat},
            {"Shape", &Builder::shapeOf},
            {"StridedSlice", &Builder::stridedSlice},
            {"Pack", &Builder::pack},
        };
        return table;
    }

    Value convert(const Json& n, int index) {
        const std::string op = n.at("op").get<std::string>();
        const std::string name = n.at("name").get<std::string>();
        const auto inputs = inputsOf(n);
        if (index != 0 && op != "Unpack") fail("Output " + std::to_string(index) + " of node " + name + " (" + op + ") is not supported.");
        auto converter = converters().find(op);
        if (converter == converters().end()) fail("Unsupported op " + op + " (node " + name + ") in " + file_.string() + ".");
        return (this->*converter->second)(Node{n, op, name, inputs});
    }

    Value constantNode(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"value"});
        auto it = weights_.find(name);
        if (it == weights_.end()) fail("Constant " + name + " has no weights in " + file_.string() + ".");
        return constant(it->second.shape, decode(name, it->second));
    }

    Value placeholder(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"shape"});
        if (!inputName_.empty() && inputName_ != name) fail("Model " + file_.string() + " has more than one input.");
        std::vector<int> shape;
        const Json* s = attr(n, "shape");
        if (s && s->contains("shape") && s->at("shape").contains("dim"))
            for (const auto& d : s->at("shape").at("dim")) {
                int size = d.contains("size") ? std::stoi(d.at("size").get<std::string>()) : -1;
                shape.push_back(size < 0 ? 1 : size);
            }
        if (shape.size() != 4) fail("Input " + name + " is not a 4-D image tensor.");
        inputName_ = name;
        impl_.inputShape = shape;
        net().setInputsNames({name});
        Value v = layerValue(0, shape, true);
        return v;
    }

    Value identity(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(1);
        return value(inputs[0]);
    }

    Value batchAxis(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"squeeze_dims", "axis", "num"});
        node.needInputs(1);
        Value v = value(inputs[0]);
        long axis = 0;
        if (op == "ExpandDims") {
            node.needInputs(2);
            axis = static_cast<long>(constValue(inputs[1], n).data.at(0));
            if (axis < 0) axis += static_cast<long>(v.shape.size()) + 1;
            if (axis != 0) fail("ExpandDims node " + name + " on axis " + std::to_string(axis) + " is not supported (batch axis only).");
            v.shape.insert(v.shape.begin(), 1);
        } else {
            auto dims = intListAttr(n, "squeeze_dims");
            if (op == "Squeeze") axis = dims.size() == 1 ? dims[0] : -1;
            else axis = intAttr(n, "axis", 0);
            if (axis != 0 || v.shape.empty() || v.shape[0] != 1 || (op == "Unpack" && intAttr(n, "num", 1) != 1))
                fail(op + " node " + name + " is not supported (batch axis of size 1 only).");
            v.shape.erase(v.shape.begin());
        }
        if (v.isConst) return v;
        if (v.nchw && v.shape.size() != 3 && v.shape.size() != 4)
            fail(op + " node " + name + " gives an unsupported shape " + shapeText(v.shape) + ".");
        return v;
    }

    Value convolutionNode(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        return convolution(n, op, name, inputs);
    }

    Value arithmeticNode(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(2);
        return arithmetic(op, name, value(inputs[0]), value(inputs[1]));
    }

    Value activation(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(1);
        const Value& in = value(inputs[0]);
        if (in.isConst) fail("Node " + name + " (" + op + ") on a constant is not supported.");
        cv::dnn::LayerParams lp;
        std::string type = op == "Relu" ? "ReLU" : op == "Sigmoid" ? "Sigmoid" : "ReLU6";
        if (op == "Relu6") { lp.set("min_value", 0.0f); lp.set("max_value", 6.0f); }
        Value out = in;
        out.layer = addLayer(name, type, lp, in);
        out.output = 0;
        return out;
    }

    Value maxPool(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"ksize", "strides", "padding", "data_format", "explicit_paddings"});
        requireNHWC(n);
        requireNoExplicitPadding(n);
        Value in = image(inputs.at(0), n);
        auto k = intListAttr(n, "ksize");
        auto s = intListAttr(n, "strides");
        auto padding = stringAttr(n, "padding");
        if (k.size() != 4 || s.size() != 4 || k[0] != 1 || k[3] != 1 || s[0] != 1 || s[3] != 1 ||
            (padding != "SAME" && padding != "VALID"))
            fail("MaxPool node " + name + " has unsupported ksize, strides or padding.");
        cv::dnn::LayerParams lp;
        lp.set("pool", "max");
        lp.set("kernel_h", static_cast<int>(k[1])); lp.set("kernel_w", static_cast<int>(k[2]));
        lp.set("stride_h", static_cast<int>(s[1])); lp.set("stride_w", static_cast<int>(s[2]));
        lp.set("pad_mode", padding);
        lp.set("ceil_mode", false);
        std::vector<int> shape = {1, outputSize(in.shape[1], static_cast<int>(k[1]), static_cast<int>(s[1]), 1, padding),
                                  outputSize(in.shape[2], static_cast<int>(k[2]), static_cast<int>(s[2]), 1, padding), in.shape[3]};
        return layerValue(addLayer(name, "Pooling", lp, in), shape, true);
    }

    Value pad(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(2);
        Value in = image(inputs[0], n);
        const Value& pads = constValue(inputs[1], n);
        if (pads.data.size() != 8) fail("Pad node " + name + " needs 4x2 paddings.");
        auto p = [&](int i) { return static_cast<int>(pads.data[static_cast<std::size_t>(i)]); };
        int nchwPads[8] = {p(0), p(1), p(6), p(7), p(2), p(3), p(4), p(5)};
        cv::dnn::LayerParams lp;
        lp.set("paddings", cv::dnn::DictValue::arrayInt(nchwPads, 8));
        lp.set("value", 0.0f);
        std::vector<int> shape = {1, in.shape[1] + p(2) + p(3), in.shape[2] + p(4) + p(5), in.shape[3] + p(6) + p(7)};
        if (p(0) || p(1)) fail("Pad node " + name + " pads the batch axis.");
        return layerValue(addLayer(name, "Padding", lp, in), shape, true);
    }

    Value resizeBilinear(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"align_corners", "half_pixel_centers"});
        node.needInputs(2);
        Value in = image(inputs[0], n);
        const Value& size = constValue(inputs[1], n);
        if (size.data.size() != 2) fail("ResizeBilinear node " + name + " needs a size of two numbers.");
        int h = static_cast<int>(size.data[0]), w = static_cast<int>(size.data[1]);
        cv::dnn::LayerParams lp;
        lp.set("interpolation", "bilinear");
        lp.set("height", h);
        lp.set("width", w);
        lp.set("align_corners", boolAttr(n, "align_corners"));
        lp.set("half_pixel_centers", boolAttr(n, "half_pixel_centers"));
        return layerValue(addLayer(name, "Resize", lp, in), {1, h, w, in.shape[3]}, true);
    }

    Value depthToSpace(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"block_size", "data_format"});
        requireNHWC(n);
        Value in = image(inputs.at(0), n);
        int bs = static_cast<int>(intAttr(n, "block_size", 0));
        int c = in.shape[3], h = in.shape[1], w = in.shape[2];
        if (bs < 1 || c % (bs * bs)) fail("DepthToSpace node " + name + " has an unsupported block size.");
        int outC = c / (bs * bs);
        // TensorFlow's order within a block is (row, column, channel): split the channels,
        // move the block axes beside H and W, merge.
        int split[] = {1, bs, bs, outC, h, w};
        cv::dnn::LayerParams r1;
        r1.set("dim", cv::dnn::DictValue::arrayInt(split, 6));
        int a = addLayer(name + "/split", "Reshape", r1, in);
        int order[] = {0, 3, 4, 1, 5, 2};
        cv::dnn::LayerParams perm;
        perm.set("order", cv::dnn::DictValue::arrayInt(order, 6));
        Value tmp = layerValue(a, {}, false);
        int b = addLayer(name + "/permute", "Permute", perm, tmp);
        int merged[] = {1, outC, h * bs, w * bs};
        cv::dnn::LayerParams r2;
        r2.set("dim", cv::dnn::DictValue::arrayInt(merged, 4));
        tmp.layer = b;
        return layerValue(addLayer(name, "Reshape", r2, tmp), {1, h * bs, w * bs, outC}, true);
    }

    Value reshape(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(2);
        const Value& in = value(inputs[0]);
        const Value& shapeValue = constValue(inputs[1], n);
        std::vector<int> shape;
        for (float f : shapeValue.data) shape.push_back(static_cast<int>(f));
        std::size_t total = elementCount(in.shape);
        std::size_t known = 1;
        int unknown = -1;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            if (shape[i] < 0) {
                if (unknown >= 0) fail("Reshape node " + name + " has two unknown sizes.");
                unknown = static_cast<int>(i);
            } else {
                known *= static_cast<std::size_t>(shape[i]);
            }
        }
        if (unknown >= 0 && known) shape[static_cast<std::size_t>(unknown)] = static_cast<int>(total / known);
        if (elementCount(shape) != total)
            fail("Reshape node " + name + " cannot make " + shapeText(in.shape) + " into " + shapeText(shape) + ".");
        if (in.isConst) return constant(shape, in.data);
        Value source = in;
        if (in.nchw) {  // back to TensorFlow's element order first
            int order[] = {0, 2, 3, 1};
            cv::dnn::LayerParams perm;
            perm.set("order", cv::dnn::DictValue::arrayInt(order, 4));
            source.layer = addLayer(name + "/nhwc", "Permute", perm, in);
            source.output = 0;
        }
        cv::dnn::LayerParams lp;
        lp.set("dim", cv::dnn::DictValue::arrayInt(shape.data(), static_cast<int>(shape.size())));
        if (shape.size() == 4) {  // a new image: store it as NCHW again
            int id = addLayer(name + "/reshape", "Reshape", lp, source);
            int order[] = {0, 3, 1, 2};
            cv::dnn::LayerParams perm;
            perm.set("order", cv::dnn::DictValue::arrayInt(order, 4));
            return layerValue(addLayer(name, "Permute", perm, layerValue(id, shape, false)), shape, true);
        }
        return layerValue(addLayer(name, "Reshape", lp, source), shape, false);
    }

    Value concat(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        node.needInputs(3);
        long axis = static_cast<long>(constValue(inputs.back(), n).data.at(0));
        std::vector<Value> parts;
        for (std::size_t i = 0; i + 1 < inputs.size(); ++i) parts.push_back(value(inputs[i]));
        const Value& first = parts[0];
        long rank = static_cast<long>(first.shape.size());
        if (axis < 0) axis += rank;
        std::vector<int> shape = first.shape;
        shape[static_cast<std::size_t>(axis)] = 0;
        for (const auto& p : parts) {
            if (p.isConst || p.nchw != first.nchw || p.shape.size() != first.shape.size())
                fail("ConcatV2 node " + name + " mixes constants or layouts.");
            shape[static_cast<std::size_t>(axis)] += p.shape[static_cast<std::size_t>(axis)];
        }
        int blobAxis;
        if (first.nchw) {
            long a4 = axis + (4 - rank);  // logical 3-D images have an implicit batch
            static const int map[] = {0, 2, 3, 1};
            blobAxis = map[a4];
        } else {
            blobAxis = static_cast<int>(axis) + (first.blobRank - static_cast<int>(rank));
        }
        cv::dnn::LayerParams lp;
        lp.set("axis", blobAxis);
        lp.name = name;
        lp.type = "Concat";
        int id = net().addLayer(name, "Concat", lp);
        for (std::size_t i = 0; i < parts.size(); ++i)
            net().connect(parts[i].layer, parts[i].output, id, static_cast<int>(i));
        Value out = layerValue(id, shape, first.nchw);
        out.blobRank = first.blobRank;
        return out;
    }

    Value shapeOf(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {});
        Value in = value(inputs.at(0));
        std::vector<float> dims(in.shape.begin(), in.shape.end());
        return constant({static_cast<int>(dims.size())}, dims);
    }

    Value stridedSlice(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"begin_mask", "end_mask", "ellipsis_mask", "new_axis_mask", "shrink_axis_mask"});
        node.needInputs(4);
        const Value& in = constValue(inputs[0], n);
        const Value &begin = constValue(inputs[1], n), &end = constValue(inputs[2], n), &strides = constValue(inputs[3], n);
        if (in.shape.size() != 1 || begin.data.size() != 1 || intAttr(n, "ellipsis_mask", 0) || intAttr(n, "new_axis_mask", 0))
            fail("StridedSlice node " + name + " is supported on 1-D shape constants only.");
        int size = in.shape[0];
        int step = static_cast<int>(strides.data[0]);
        if (step != 1) fail("StridedSlice node " + name + " has an unsupported stride.");
        int b = intAttr(n, "begin_mask", 0) & 1 ? 0 : static_cast<int>(begin.data[0]);
        int e = intAttr(n, "end_mask", 0) & 1 ? size : static_cast<int>(end.data[0]);
        if (b < 0) b += size;
        if (e < 0) e += size;
        b = std::clamp(b, 0, size);
        e = std::clamp(e, b, size);
        std::vector<float> out(in.data.begin() + b, in.data.begin() + e);
        if (intAttr(n, "shrink_axis_mask", 0) & 1) {
            if (out.size() != 1) fail("StridedSlice node " + name + " shrinks a slice that is not one element.");
            return constant({}, out);
        }
        return constant({static_cast<int>(out.size())}, out);
    }

    Value pack(const Node& node) {
        const auto& [n, op, name, inputs] = node;
        checkAttributes(n, {"axis"});
        if (intAttr(n, "axis", 0) != 0) fail("Pack node " + name + " is supported on axis 0 only.");
        std::vector<float> out;
        std::vector<int> shape;
        for (const auto& i : inputs) {
            const Value& v = constValue(i, n);
            if (shape.empty()) shape = v.shape;
            else if (shape != v.shape) fail("Pack node " + name + " packs constants of different shapes.");
            out.insert(out.end(), v.data.begin(), v.data.end());
        }
        shape.insert(shape.begin(), static_cast<int>(inputs.size()));
        return constant(shape, out);
    }

    Value convolution(const Json& n, const std::string& op, const std::string& name, const std::vector<std::string>& inputs) {
        const bool depthwise = op == "DepthwiseConv2dNative" || op == "FusedDepthwiseConv2dNative";
        const bool fused = op == "_FusedConv2D" || op == "FusedDepthwiseConv2dNative";
        checkAttributes(n, {"strides", "padding", "dilations", "data_format", "explicit_paddings", "fused_ops", "num_args", "epsilon"});
        requireNHWC(n);
        requireNoExplicitPadding(n);
        if (inputs.size() < 2) fail("Node " + name + " (" + op + ") has too few inputs.");
        Value in = image(inputs[0], n);
        const Value& filter = constValue(inputs[1], n);
        auto strides = intListAttr(n, "strides");
        auto dilations = intListAttr(n, "dilations");
        if (dilations.empty()) dilations = {1, 1, 1, 1};
        auto padding = stringAttr(n, "padding");
        if (strides.size() != 4 || dilations.size() != 4 || (padding != "SAME" && padding != "VALID"))
            fail("Node " + name + " has unsupported strides, dilations or padding " + padding + ".");
        std::vector<std::string> fusedOps = fused ? stringListAttr(n, "fused_ops") : std::vector<std::string>{};
        bool bias = false;
        std::string activation;
        for (const auto& f : fusedOps) {
            if (f == "BiasAdd" && !bias && activation.empty()) bias = true;
            else if ((f == "Relu" || f == "Relu6") && activation.empty()) activation = f;
            else fail("Unsupported fused op " + f + " in node " + name + ".");
        }
        if (fused && intAttr(n, "num_args", bias ? 1 : 0) != (bias ? 1 : 0))
            fail("Node " + name + " has unsupported num_args.");
        if (filter.shape.size() != 4) fail("Node " + name + " has a filter that is not 4-D.");
        int kh = filter.shape[0], kw = filter.shape[1], ci = filter.shape[2], co = filter.shape[3];
        if (ci != in.shape[3] && !(depthwise && ci == in.shape[3]))
            fail("Node " + name + " has a filter for " + std::to_string(ci) + " channels on " + std::to_string(in.shape[3]) + ".");
        int outChannels = depthwise ? ci * co : co;
        int wsz[] = {outChannels, depthwise ? 1 : ci, kh, kw};
        cv::Mat weights(4, wsz, CV_32F);
        float* w = weights.ptr<float>();
        const cv::Mat source(kh * kw * ci, co, CV_32F, const_cast<float*>(filter.data.data()));
        if (!depthwise && kh == 1 && kw == 1) {
            cv::transpose(source, cv::Mat(co, ci, CV_32F, w));  // IO -> OI
        } else if (depthwise && co == 1) {
            cv::transpose(source.reshape(1, kh * kw), cv::Mat(ci, kh * kw, CV_32F, w));  // (HW)C -> C(HW)
        } else {
            for (int y = 0; y < kh; ++y)
                for (int x = 0; x < kw; ++x)
                    for (int i = 0; i < ci; ++i)
                        for (int o = 0; o < co; ++o) {
                            float v = filter.data[((static_cast<std::size_t>(y) * kw + x) * ci + i) * co + o];
                            if (depthwise) w[((static_cast<std::size_t>(i) * co + o) * kh + y) * kw + x] = v;
                            else w[((static_cast<std::size_t>(o) * ci + i) * kh + y) * kw + x] = v;
                        }
        }
        cv::dnn::LayerParams lp;
        lp.blobs.push_back(weights);
        if (bias) {
            if (inputs.size() < 3) fail("Node " + name + " has no bias input.");
            const Value& b = constValue(inputs[2], n);
            if (static_cast<int>(b.data.size()) != outChannels) fail("Node " + name + " has a bias of the wrong size.");
            lp.blobs.push_back(cv::Mat(1, outChannels, CV_32F, const_cast<float*>(b.data.data())).clone());
        }
        lp.set("bias_term", bias);
        lp.set("num_output", outChannels);
        lp.set("group", depthwise ? ci : 1);
        lp.set("kernel_h", kh); lp.set("kernel_w", kw);
        lp.set("stride_h", static_cast<int>(strides[1])); lp.set("stride_w", static_cast<int>(strides[2]));
        lp.set("dilation_h", static_cast<int>(dilations[1])); lp.set("dilation_w", static_cast<int>(dilations[2]));
        lp.set("pad_mode", padding);
        std::vector<int> shape = {1,
                                  outputSize(in.shape[1], kh, static_cast<int>(strides[1]), static_cast<int>(dilations[1]), padding),
                                  outputSize(in.shape[2], kw, static_cast<int>(strides[2]), static_cast<int>(dilations[2]), padding),
                                  outChannels};
        int id = addLayer(activation.empty() ? name : name + "/conv", "Convolution", lp, in);
        Value out = layerValue(id, shape, true);
        if (!activation.empty()) {
            cv::dnn::LayerParams act;
            if (activation == "Relu6") { act.set("min_value", 0.0f); act.set("max_value", 6.0f); }
            out.layer = addLayer(name, activation == "Relu" ? "ReLU" : "ReLU6", act, out);
        }
        return out;
    }

    // Adds, subtracts or multiplies: two layers of one shape, or a layer and a constant
    // that is a scalar or one value per channel.
    Value arithmetic(const std::string& op, const std::string& name, const Value& a, const Value& b) {
        if (a.isConst && b.isConst) {
            if (b.data.size() != 1 && a.data.size() != b.data.size())
                fail("Node " + name + " (" + op + ") on constants of different shapes is not supported.");
            std::vector<float> out(a.data.size());
            for (std::size_t i = 0; i < out.size(); ++i) {
                float y = b.data[b.data.size() == 1 ? 0 : i];
                out[i] = op == "Mul" ? a.data[i] * y : op == "Sub" ? a.data[i] - y : a.data[i] + y;
            }
            return constant(a.shape, out);
        }
        if (!a.isConst && !b.isConst) {
            if (op != "AddV2" && op != "Add") fail("Node " + name + " (" + op + ") of two tensors is not supported.");
            if (a.shape != b.shape || a.nchw != b.nchw)
                fail("Node " + name + " adds tensors of shapes " + shapeText(a.shape) + " and " + shapeText(b.shape) + ".");
            cv::dnn::LayerParams lp;
            lp.set("operation", "sum");
            lp.name = name;
            lp.type = "Eltwise";
            int id = net().addLayer(name, "Eltwise", lp);
            net().connect(a.layer, a.output, id, 0);
            net().connect(b.layer, b.output, id, 1);
            Value out = a;
            out.layer = id;
            out.output = 0;
            return out;
        }
        bool constFirst = a.isConst;
        const Value& tensor = constFirst ? b : a;
        const Value& c = constFirst ? a : b;
        if (constFirst && op == "Sub") fail("Node " + name + " subtracts a tensor from a constant, which is not supported.");
        std::size_t channels = tensor.nchw ? static_cast<std::size_t>(tensor.shape.back()) : 0;
        if (c.data.size() == 1) {
            cv::dnn::LayerParams lp;
            float k = c.data[0];
            lp.set("power", 1.0f);
            lp.set("scale", op == "Mul" ? k : 1.0f);
            lp.set("shift", op == "Mul" ? 0.0f : op == "Sub" ? -k : k);
            Value out = tensor;
            out.layer = addLayer(name, "Power", lp, tensor);
            out.output = 0;
            return out;
        }
        if (tensor.nchw && c.data.size() == channels && c.shape.back() == static_cast<int>(channels)) {
            // One value per channel: a 1x1 depthwise convolution with a bias.
            int wsz[] = {static_cast<int>(channels), 1, 1, 1};
            cv::Mat weights(4, wsz, CV_32F);
            cv::Mat bias(1, static_cast<int>(channels), CV_32F);
            for (std::size_t i = 0; i < channels; ++i) {
                weights.ptr<float>()[i] = op == "Mul" ? c.data[i] : 1.0f;
                bias.ptr<float>()[i] = op == "Mul" ? 0.0f : op == "Sub" ? -c.data[i] : c.data[i];
            }
            cv::dnn::LayerParams lp;
            lp.blobs = {weights, bias};
            lp.set("bias_term", true);
            lp.set("num_output", static_cast<int>(channels));
            lp.set("group", static_cast<int>(channels));
            lp.set("kernel_h", 1); lp.set("kernel_w", 1);
            Value out = tensor;
            out.layer = addLayer(name, "Convolution", lp, tensor);
            out.output = 0;
            return out;
        }
        fail("Node " + name + " (" + op + ") with a constant of shape " + shapeText(c.shape) + " is not supported.");
    }

    std::filesystem::path file_;
    std::filesystem::path lastBinary_;
    TfjsGraph::Impl& impl_;
    std::map<std::string, Json> nodes_;
    std::map<std::string, WeightEntry> weights_;
    std::string bytes_;
    std::map<std::string, Value> values_;
    std::string inputName_;
};

// Copies a network output into TensorFlow's order.
Tensor toTensor(const cv::Mat& blob, const std::vector<int>& shape, bool nchw) {
    Tensor t;
    t.shape = shape;
    std::size_t total = elementCount(shape);
    if (blob.total() != total) throw ModelError("Network output has " + std::to_string(blob.total()) + " values, expected " + shapeText(shape) + ".");
    t.values.resize(total);
    const float* src = blob.ptr<float>();
    if (!nchw) {
        std::copy(src, src + total, t.values.begin());
        return t;
    }
    std::vector<int> s4 = shape;
    if (s4.size() == 3) s4.insert(s4.begin(), 1);
    int h = s4[1], w = s4[2], c = s4[3];
    for (int ch = 0; ch < c; ++ch)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                t.values[(static_cast<std::size_t>(y) * w + x) * c + ch] = src[(static_cast<std::size_t>(ch) * h + y) * w + x];
    return t;
}

}  // namespace

TfjsGraph TfjsGraph::load(const std::filesystem::path& modelJson, const std::vector<std::string>& outputs) {
    auto impl = std::make_shared<Impl>();
    {
        Builder builder(modelJson, *impl);
        builder.build(outputs);
    }
    impl->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    impl->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    TfjsGraph graph;
    graph.impl_ = impl;
    // One run on zeros checks that OpenCV agrees with the shapes worked out above.
    std::vector<float> zeros(elementCount(impl->inputShape), 0.0f);
    try {
        graph.run(zeros.data());
    } catch (const cv::Exception& e) {
        throw ModelError("Pose model " + modelJson.string() + " could not be built: " + e.what());
    } catch (const ModelError& e) {
        throw ModelError("Pose model " + modelJson.string() + " could not be built: " + e.what());
    }
    return graph;
}

const std::vector<int>& TfjsGraph::inputShape() const { return impl_->inputShape; }

std::vector<Tensor> TfjsGraph::run(const float* nhwc) const {
    const auto& shape = impl_->inputShape;
    int h = shape[1], w = shape[2], c = shape[3];
    int sz[] = {1, c, h, w};
    cv::Mat blob(4, sz, CV_32F);
    float* dst = blob.ptr<float>();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int ch = 0; ch < c; ++ch)
                dst[(static_cast<std::size_t>(ch) * h + y) * w + x] = nhwc[(static_cast<std::size_t>(y) * w + x) * c + ch];
    std::vector<cv::Mat> outs;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->net.setInput(blob);
        impl_->net.forward(outs, impl_->outputLayers);
    }
    std::vector<Tensor> result;
    for (std::size_t i = 0; i < outs.size(); ++i)
        result.push_back(toTensor(outs[i], impl_->outputShapes[i], impl_->outputNCHW[i]));
    return result;
}

const Tensor& TfjsGraph::constant(const std::string& node) const {
    auto it = impl_->constants.find(node);
    if (it == impl_->constants.end()) throw ModelError("The pose model has no constant " + node + ".");
    return it->second;
}

}  // namespace torvane::platform
