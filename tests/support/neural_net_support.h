// Helpers of the learning core's tests, benchmark and fuzz targets: networks
// built as their users build them, their layers and weights read out, and the
// Python transcriptions of tests/data/neural_net_oracle.py.
#pragma once

#include <string>
#include <vector>

#include "classify/neural_net.h"
#include "support/test_support.h"

namespace halvorn::test {

// Clear, one AddLayer per size (input layer first), Init: every weight 0.
template <class Net>
void BuildNet(Net& net, const std::vector<int>& sizes) {
  net.Clear();
  for (int size : sizes) net.AddLayer(size);
  net.Init();
}

inline std::vector<int> LayerSizes(const TNeuralNetBP& net) {
  std::vector<int> sizes;
  for (int layer = 0; layer < net.GetLayerCount(); ++layer)
    sizes.push_back(net.GetLayer(layer).NeuronCount());
  return sizes;
}

// Every weight of layers 1 and up, in the order of the weight records.
inline std::vector<double> AllWeights(const TNeuralNetBP& net) {
  std::vector<double> weights;
  for (int layer = 1; layer < net.GetLayerCount(); ++layer)
    for (int n = 0; n < net.GetLayer(layer).NeuronCount(); ++n)
      for (double w : net.GetLayer(layer).Neuron(n).Weights) weights.push_back(w);
  return weights;
}

// Runs the Python body with the oracle module imported as `o` (and sys),
// the input on its standard input and the arguments as sys.argv[2:].
inline CommandResult RunNetOracle(const std::string& body, const std::string& input = {},
                                  const std::vector<std::string>& arguments = {}) {
  return RunPythonModule("neural_net_oracle", "o", body, input, arguments);
}

}  // namespace halvorn::test
