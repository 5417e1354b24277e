// Feeds arbitrary weight texts to a 6-1 and a 3-2-1 network. Whatever a
// network takes from the text (an older form may rebuild its layers), its
// own weight text read into a fresh network of the same layers must give the
// same text back, in the compressed and in the raw form; a text it refuses
// leaves its layers as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "classify/quor_neural_net.h"
#include "support/neural_net_support.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvorn;
  using test::BuildNet;
  using test::LayerSizes;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const std::vector<int>& shape : {std::vector<int>{6, 1}, std::vector<int>{3, 2, 1}}) {
    TQuorNeuralNet net;
    BuildNet(net, shape);
    // A text refused (whole, or cut after records that were applied) never
    // changes the layers built.
    if (!net.SetWeightText(text)) Check(LayerSizes(net) == shape);
    const std::vector<int> sizes = LayerSizes(net);
    for (std::uint8_t form : {0, 2}) {
      const std::string written = net.GetWeightTextAs(form);
      TQuorNeuralNet fresh;
      BuildNet(fresh, sizes);
      // A network without weights writes no record, and a text without one
      // reads as nothing.
      Check(fresh.SetWeightText(written) || test::AllWeights(net).empty());
      Check(fresh.GetWeightTextAs(form) == written);
    }
    if (sizes.back() > 0)
      net.EvaluateInputs(std::vector<double>(static_cast<std::size_t>(sizes[0]), 1.0));
  }
  return 0;
}
