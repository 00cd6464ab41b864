// Prints how the ten sounds measure: loudness, peak, DC, centroid and rise time of each, the
// far-end band figures (the puck at the far wall against the opponent's slide) and the
// closest pairs of played sounds.
//   sound_report SOUNDS_FOLDER
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tools/sound_measure.h"

namespace {

using namespace palomir::measure;

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sound_report SOUNDS_FOLDER\n");
    return 2;
  }
  const char* names[] = {"paddle.wav",    "OpponentHit.wav", "SideBounce.wav",
                         "rebound.wav",   "buzz.wav",        "goal.wav",
                         "puck.wav",      "paddleslide.wav", "opponentpaddleslide.wav",
                         "background.wav"};
  std::vector<std::pair<std::string, Print>> prints;
  std::vector<double> puck, slide;
  double rate = 22050;
  std::printf(
      "| sound | loudness LUFS | peak dBFS | DC dBFS | centroid Hz | rise ms "
      "|\n|---|---|---|---|---|---|\n");
  for (const char* n : names) {
    const std::vector<double> s = ReadWav16(std::string(argv[1]) + "/" + n, rate);
    if (s.empty()) {
      std::printf("| %s | (unreadable) |\n", n);
      continue;
    }
    std::printf("| %s | %.1f | %.1f | %.0f | %.0f | %.0f |\n", n, Loudness(s, rate), PeakDb(s),
                DcDb(s), Centroid(s, rate), RiseMs(s, rate));
    if (std::string(n) != "background.wav") prints.emplace_back(n, Fingerprint(s, rate));
    if (std::string(n) == "puck.wav") puck = s;
    if (std::string(n) == "opponentpaddleslide.wav") slide = s;
  }
  if (!puck.empty() && !slide.empty()) {
    const auto p = OctaveBands(puck, rate), o = OctaveBands(slide, rate);
    std::printf("\nfar end (puck at -4000, opponent slide at -2000), dB per octave band:\n");
    for (size_t b = 0; b < kOctaves.size(); ++b) {
      std::printf("  %5.0f Hz: puck %6.1f  slide %6.1f  puck - slide %+5.1f\n", kOctaves[b],
                  p[b] - 20, o[b] - 10, p[b] - 20 - (o[b] - 10));
    }
  }
  std::vector<std::pair<double, std::string>> pairs;
  for (size_t i = 0; i < prints.size(); ++i) {
    for (size_t j = i + 1; j < prints.size(); ++j) {
      pairs.emplace_back(Distance(prints[i].second, prints[j].second),
                         prints[i].first + " / " + prints[j].first);
    }
  }
  std::sort(pairs.begin(), pairs.end());
  std::printf("\nclosest pairs:\n");
  for (size_t i = 0; i < 5 && i < pairs.size(); ++i)
    std::printf("  %.1f  %s\n", pairs[i].first, pairs[i].second.c_str());
  return 0;
}
