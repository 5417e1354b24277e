// Link extraction and plain-text conversion on 5 MB hostile HTML parts,
// against a reference run in the same process: one pass of std::count over
// the same bytes. The goal is that every shape stays linear, a small constant
// factor above the reference and well under a second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "foundation/text/html_parser.h"
#include "foundation/text/text_normalisation.h"

namespace halvorn {
namespace {

constexpr std::size_t kSize = 5u << 20;

const char* const kShapes[] = {
    "<a x>",            // anchors that never close
    "<a <a href=",      // openings inside openings
    "</a ",             // closings without ">"
    "&#",               // entities without end
    "<img ",            // images without ">"
    "<br ",             // line breaks without ">"
    "<",                // tags that never end
    "&",                // bare ampersands
    "<a href=x>y</a>",  // very many small links
    "<script>",         // removals that never end
};

std::string Repeat(const std::string& shape) {
  std::string html;
  html.reserve(kSize + shape.size());
  while (html.size() < kSize) html += shape;
  return html;
}

void Reference(benchmark::State& state) {
  const std::string html = Repeat(kShapes[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(std::count(html.begin(), html.end(), '<'));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
  state.SetLabel(kShapes[state.range(0)]);
}

void ExtractLinksShape(benchmark::State& state) {
  const std::string html = Repeat(kShapes[state.range(0)]);
  for (auto _ : state) {
    TStringList links;
    ExtractLinks(html, links);
    benchmark::DoNotOptimize(links.Count());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
  state.SetLabel(kShapes[state.range(0)]);
}

void PlainTextShape(benchmark::State& state) {
  const std::string html = Repeat(kShapes[state.range(0)]);
  for (auto _ : state) benchmark::DoNotOptimize(HtmlToPlainText(html));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
  state.SetLabel(kShapes[state.range(0)]);
}

void DecodeEntitiesShape(benchmark::State& state) {
  const std::string html = Repeat(kShapes[state.range(0)]);
  for (auto _ : state) {
    std::string text = html;
    HtmlDecodeEntitiesInPlace(text);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(html.size()));
  state.SetLabel(kShapes[state.range(0)]);
}

constexpr int kShapeCount = static_cast<int>(std::size(kShapes));

BENCHMARK(Reference)->DenseRange(0, kShapeCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(ExtractLinksShape)->DenseRange(0, kShapeCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainTextShape)->DenseRange(0, kShapeCount - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeEntitiesShape)->DenseRange(0, kShapeCount - 1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvorn
