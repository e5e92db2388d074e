// A TensorFlow.js graph model (model.json + binary weight files) rebuilt as an OpenCV DNN
// network from OpenCV's own layers. Only the part of the graph that the requested outputs
// depend on is built; small shape computations are evaluated once at load. An op or an
// attribute the importer does not know fails the load with its name.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace torvane::platform {

// A tensor in TensorFlow's order (NHWC for images), row-major.
struct Tensor {
    std::vector<int> shape;
    std::vector<float> values;

    float at(std::initializer_list<int> index) const;
};

// A model that cannot be read or converted; the message names the file or the node.
class ModelError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TfjsGraph {
public:
    struct Impl;

    // Reads `modelJson` and the weight files it lists beside it, and builds the network
    // that computes the named nodes (a node name, or "name:k" for its k-th output).
    // Throws ModelError.
    static TfjsGraph load(const std::filesystem::path& modelJson, const std::vector<std::string>& outputs);

    // The input's shape, NHWC, batch 1.
    const std::vector<int>& inputShape() const;

    // Runs the network on one NHWC float input of inputShape(); returns the outputs in the
    // order they were requested, in TensorFlow's order. Safe to call from several threads
    // (calls are serialised).
    std::vector<Tensor> run(const float* nhwc) const;

    // A constant of the graph (small constants only); throws ModelError if there is none.
    const Tensor& constant(const std::string& node) const;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace torvane::platform
