// The host tool's demo end to end, against the rendering it contains:
//   BM_DotcalDemo: `dotcal demo` as a user runs it (15 plate pairs rendered, extracted and
//       calibrated; 40 tool frames rendered, followed in both cameras, triangulated and
//       pivot-calibrated; files written);
//   BM_DemoRendering: the synthetic camera alone rendering the same 110 images (the peer: the part
//       of the demo that is not the library's work).
// Wall-clock times, one iteration each: a run takes seconds.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <ostream>

#include "Commands.h"
#include "workflows/PivotToolScene.h"
#include "workflows/StereoRendering.h"
#include "synth/Scenes.h"

namespace {

void BM_DotcalDemo(benchmark::State& state) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "native64-bench-dotcal-demo";
  std::ostream discard(nullptr);
  for (auto _ : state) {
    dotcal::DemoOptions options;
    options.out = folder.string();
    dotcal::RunDemo(options, discard, discard);
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_DotcalDemo)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_DemoRendering(benchmark::State& state) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const dotcal::DemoOptions demo;
  for (auto _ : state) {
    const auto poses = synth::CalibrationSeries(rig, demo.platePairs, demo.seed);
    for (int i = 0; i < demo.platePairs; ++i) {
      benchmark::DoNotOptimize(dotcal::RenderStereo(rig, poses[i], synth::RenderSettings(),
                                                    demo.seed, dotcal::Sequence::kPlate, i));
    }
    const dotcal::PivotToolScene scene = dotcal::MakePivotToolScene(rig, demo.toolFrames);
    for (int k = 0; k < demo.toolFrames; ++k) {
      benchmark::DoNotOptimize(dotcal::RenderStereo(rig, scene.frames[k], synth::RenderSettings(),
                                                    demo.seed, dotcal::Sequence::kTool, k));
    }
  }
}
BENCHMARK(BM_DemoRendering)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace
