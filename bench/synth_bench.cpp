#include <benchmark/benchmark.h>

#include "synth/Renderer.h"
#include "synth/Scenes.h"

namespace {

// One 1248 x 1082 frame of the calibration plate as the left camera of the default rig sees it.
void RenderPlateFrame(benchmark::State& state, bool classifyFootprints,
                      bool blurBeforeIntegration = false) {
  const synth::StereoRig rig = synth::StereoRig::Default();
  const std::vector<synth::PlacedTarget> plate = {synth::CalibrationSeries(rig, 1, 1).front()};
  synth::RenderSettings settings;
  settings.classifyFootprints = classifyFootprints;
  settings.blurBeforeIntegration = blurBeforeIntegration;
  for (auto _ : state) benchmark::DoNotOptimize(synth::Render(rig.left, plate, settings));
}

// The renderer as used, with the footprint shortcut.
void BM_RenderPlateFrame(benchmark::State& state) { RenderPlateFrame(state, true); }
// Its peer: the same frame with every pixel supersampled, which gives the same image.
void BM_RenderPlateFrameSupersampled(benchmark::State& state) { RenderPlateFrame(state, false); }
// The renderer as used, with the blur acting on the light before the pixels integrate it.
void BM_RenderPlateFrameLensBlur(benchmark::State& state) { RenderPlateFrame(state, true, true); }

// One frame of the first pose of a calibration series in the left camera of a rig of another
// image size (width, height): the cost of rendering for the cameras users calibrate.
void BM_RenderPlateFrameAtSize(benchmark::State& state) {
  const synth::StereoRig rig = synth::StereoRig::ForImageSize(
      {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))});
  const std::vector<synth::PlacedTarget> plate = {synth::CalibrationSeries(rig, 1, 1).front()};
  const synth::RenderSettings settings;
  for (auto _ : state) benchmark::DoNotOptimize(synth::Render(rig.left, plate, settings));
}

BENCHMARK(BM_RenderPlateFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderPlateFrameLensBlur)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderPlateFrameAtSize)
    ->Unit(benchmark::kMillisecond)
    ->Args({640, 480})
    ->Args({1920, 1200})
    ->Args({4096, 3000});
BENCHMARK(BM_RenderPlateFrameSupersampled)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
