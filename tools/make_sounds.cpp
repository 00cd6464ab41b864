// Writes the game's ten sounds as 16-bit mono WAV files at 22050 Hz, each at the loudness
// its plan gives it. Deterministic: the same files every run.
//   make_sounds OUTPUT_FOLDER
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "tools/sound_measure.h"

namespace {

constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;
using Wave = std::vector<double>;

// A small fixed-seed generator so the noise is the same on every machine.
struct Noise {
  uint32_t state;
  explicit Noise(uint32_t seed) : state(seed) {}
  double operator()() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<double>(state) / 2147483648.0 - 1.0;
  }
};

Wave Silence(double seconds) {
  return Wave(static_cast<size_t>(seconds * kRate), 0.0);
}

// `seconds` of white noise from the generator seeded with `seed`.
Wave WhiteNoise(double seconds, uint32_t seed) {
  Wave w = Silence(seconds);
  Noise n(seed);
  for (double& x : w) x = n();
  return w;
}

// One-pole low-pass. As a ring, a first pass settles the filter on the sound's own end, so
// that a loop has no seam.
void LowPass(Wave& w, double cutoff_hz, bool ring = false) {
  const double a = 1.0 - std::exp(-2.0 * kPi * cutoff_hz / kRate);
  double y = 0;
  for (int pass = 0; pass < (ring ? 2 : 1); ++pass) {
    for (double& x : w) {
      y += a * (x - y);
      if (ring && pass == 0) continue;
      x = y;
    }
  }
}

// Keeps the band between the two cutoffs: the sound low-passed at the high one, less the
// sound low-passed at the low one.
void BandPass(Wave& w, double low_hz, double high_hz) {
  Wave low = w;
  LowPass(low, low_hz);
  LowPass(w, high_hz);
  for (size_t i = 0; i < w.size(); ++i) w[i] -= low[i];
}

// Short fades at both ends so a one-shot starts and stops without a click.
void Fade(Wave& w, double in_s, double out_s) {
  const auto in = static_cast<size_t>(in_s * kRate);
  const auto out = static_cast<size_t>(out_s * kRate);
  for (size_t i = 0; i < in && i < w.size(); ++i) w[i] *= static_cast<double>(i) / in;
  for (size_t i = 0; i < out && i < w.size(); ++i)
    w[w.size() - 1 - i] *= static_cast<double>(i) / out;
}

double T(size_t i) {
  return static_cast<double>(i) / kRate;
}

// ---------------------------------------------------------------- the loudness plan
//
// Loudness is each file's loudest moment, K-weighted, in LUFS (tools/sound_measure.h). The
// six short cues sit within a few LU of one another so that none drowns another: the two
// goals a little above the rest, the opponent's hit a little below the player's (it happens
// at the far end, and the rules never turn it down). The slides and the puck's loop are a
// bed well below the cues, so that the voice rises over the puck resting in front of the
// player; the background is a quiet room.
struct Planned {
  const char* file;
  double lufs;
};
constexpr Planned kPlan[] = {
    {"paddle.wav", -20.5},   {"OpponentHit.wav", -22.5}, {"SideBounce.wav", -20.5},
    {"rebound.wav", -19},    {"buzz.wav", -16},          {"goal.wav", -16},
    {"puck.wav", -22},       {"paddleslide.wav", -23},   {"opponentpaddleslide.wav", -29},
    {"background.wav", -38},
};

double PlannedLoudness(const std::string& file) {
  for (const Planned& p : kPlan) {
    if (file == p.file) return p.lufs;
  }
  return -20;
}

// Takes off any offset: a ring high-pass at 20 Hz, then the mean, so the sound swings about
// zero (a loop keeps its seam).
void NoDc(Wave& w, bool ring) {
  Wave low = w;
  LowPass(low, 20, ring);
  for (size_t i = 0; i < w.size(); ++i) w[i] -= low[i];
  double mean = 0;
  for (double x : w) mean += x;
  mean /= static_cast<double>(w.size());
  for (double& x : w) x -= mean;
}

// Sets the sound to its planned loudness, its peaks never above -1 dBFS.
void ToLoudness(Wave& w, double lufs) {
  const double now = palomir::measure::Loudness(w, kRate);
  double gain = std::pow(10.0, (lufs - now) / 20);
  double peak = 0;
  for (double x : w) peak = std::max(peak, std::fabs(x));
  gain = std::min(gain, 0.891 / peak);
  for (double& x : w) x *= gain;
}

// A one-shot: no offset, silent at both ends.
void Finish(Wave& w, double in_s, double out_s) {
  NoDc(w, false);
  Fade(w, in_s, out_s);
  // The fades moved the mean a little: take it off along an arch that is 0 at both ends.
  double mean = 0, arch_sum = 0;
  for (double x : w) mean += x;
  mean /= static_cast<double>(w.size());
  Wave arch(w.size());
  for (size_t i = 0; i < w.size(); ++i) {
    arch[i] = std::sin(kPi * static_cast<double>(i) / static_cast<double>(w.size() - 1));
    arch_sum += arch[i];
  }
  const double per = mean * static_cast<double>(w.size()) / arch_sum;
  for (size_t i = 0; i < w.size(); ++i) w[i] -= per * arch[i];
}

Wave Puck() {
  // 0.8 s loop: the scrape of the puck on the table, most of it between 0.5 and 4 kHz so
  // that it carries on small speakers and at the far end, and a light roll beneath. Every
  // periodic part fits the loop a whole number of times; the noise is filtered as a ring.
  const double len = 0.8;
  Wave w = WhiteNoise(len, 11);
  Wave low = w;
  LowPass(low, 450, true);
  LowPass(w, 2500, true);
  LowPass(w, 4000, true);
  for (size_t i = 0; i < w.size(); ++i) w[i] -= low[i];
  Wave rumble = WhiteNoise(len, 12);
  LowPass(rumble, 150, true);
  for (size_t i = 0; i < w.size(); ++i) {
    const double roll = 0.7 + 0.3 * std::sin(2 * kPi * 10.0 * T(i));  // 8 turns a loop
    w[i] = w[i] * roll + 0.6 * rumble[i] + 0.02 * std::sin(2 * kPi * 190.0 * T(i)) * roll;
  }
  NoDc(w, true);
  return w;
}

Wave Paddle() {
  // The player's hit: a bright, sharp crack.
  Wave w = Silence(0.16);
  Noise n(21);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    w[i] = std::exp(-t * 35) * (std::sin(2 * kPi * 1250 * t) + 0.5 * std::sin(2 * kPi * 2630 * t)) +
           0.5 * std::exp(-t * 400) * n();
  }
  Finish(w, 0.0005, 0.02);
  return w;
}

Wave OpponentHit() {
  // The opponent's hit: heavier, lower and duller than the player's, as if heard down the
  // table, and pitched well below the end wall's knock.
  Wave w = Silence(0.3);
  Noise n(31);
  Wave crack = Silence(0.3);
  for (double& x : crack) x = n();
  LowPass(crack, 500);
  LowPass(crack, 500);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    w[i] = std::exp(-t * 20) * (std::sin(2 * kPi * 196 * t) + 0.5 * std::sin(2 * kPi * 262 * t)) +
           3.0 * std::exp(-t * 70) * crack[i];
  }
  Finish(w, 0.002, 0.04);
  return w;
}

Wave SideBounce() {
  // A side wall: a dull thud that drops in pitch, with a short knock on top (1-3 kHz) that a
  // laptop's speaker can still give.
  Wave w = Silence(0.22);
  Noise n(41);
  Wave body = Silence(0.22);
  for (double& x : body) x = n();
  LowPass(body, 300);
  Wave knock = WhiteNoise(0.22, 42);
  BandPass(knock, 900, 3000);
  double phase = 0;
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    phase += 2 * kPi * (90 + 80 * std::exp(-t * 40)) / kRate;
    w[i] = std::exp(-t * 25) * std::sin(phase) + 1.5 * std::exp(-t * 50) * body[i] +
           1.2 * std::exp(-t * 150) * knock[i] +
           0.2 * std::exp(-t * 50) * std::sin(2 * kPi * 1400 * t);
  }
  Finish(w, 0.001, 0.03);
  return w;
}

Wave Rebound() {
  Wave w = Silence(0.45);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    // A hollow box: two close modes that beat, and an octave above.
    w[i] = std::exp(-t * 9) * (std::sin(2 * kPi * 420 * t) + 0.8 * std::sin(2 * kPi * 437 * t) +
                               0.3 * std::sin(2 * kPi * 868 * t));
  }
  Finish(w, 0.002, 0.05);
  return w;
}

Wave Buzz() {
  Wave w = Silence(1.0);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    const double a = std::sin(2 * kPi * 110 * t) >= 0 ? 1.0 : -1.0;
    const double b = std::sin(2 * kPi * 117 * t) >= 0 ? 1.0 : -1.0;
    w[i] = a + b;
  }
  LowPass(w, 3000);
  Finish(w, 0.01, 0.08);
  return w;
}

Wave Goal() {
  const double notes[] = {523.25, 659.25, 783.99, 1046.5};
  Wave w = Silence(1.3);
  for (int k = 0; k < 4; ++k) {
    const double start = 0.12 * k;
    for (size_t i = static_cast<size_t>(start * kRate); i < w.size(); ++i) {
      const double t = T(i) - start;
      const double hold = k == 3 ? 6.0 : 14.0;
      const double env = std::min(1.0, t * 200) * std::exp(-t * hold);
      const double f = notes[k];
      w[i] += env * (std::sin(2 * kPi * f * t) + 0.4 * std::sin(4 * kPi * f * t) +
                     0.2 * std::sin(6 * kPi * f * t));
    }
  }
  Finish(w, 0.002, 0.1);
  return w;
}

Wave PaddleSlide() {
  // The player's paddle: an airy hiss that is there the moment the mouse moves (full within
  // 15 ms), holds, and falls away.
  Wave w = WhiteNoise(0.3, 82);
  BandPass(w, 2500, 7000);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    w[i] *= std::min(1.0, t / 0.015) * (t < 0.18 ? 1.0 : std::exp(-(t - 0.18) * 25));
  }
  Finish(w, 0.001, 0.02);
  return w;
}

Wave OpponentSlide() {
  // The opponent's paddle: a low, buzzing rattle (a 110 Hz growl ticking 30 times a second),
  // nothing like the puck's hiss, swelling in and out.
  Wave w = Silence(0.3);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    double tone = 0;
    for (int h = 1; h <= 5; ++h) tone += std::sin(2 * kPi * 110 * h * t) / h;
    const double tick = 0.55 + 0.45 * std::cos(2 * kPi * 30 * t);
    w[i] = tone * tick * std::sin(kPi * t / 0.3);
  }
  LowPass(w, 700);
  LowPass(w, 700);
  Finish(w, 0.002, 0.02);
  return w;
}

Wave Background() {
  const double len = 2.0;
  Wave w = WhiteNoise(len, 91);
  LowPass(w, 400, true);
  for (size_t i = 0; i < w.size(); ++i) w[i] *= 0.8 + 0.2 * std::sin(2 * kPi * 0.5 * T(i));
  NoDc(w, true);
  return w;
}

void Put16(std::ofstream& f, uint16_t v) {
  f.put(static_cast<char>(v & 0xff)).put(static_cast<char>(v >> 8));
}
void Put32(std::ofstream& f, uint32_t v) {
  Put16(f, static_cast<uint16_t>(v & 0xffff));
  Put16(f, static_cast<uint16_t>(v >> 16));
}

bool Write(const std::string& path, const Wave& w) {
  std::ofstream f(path, std::ios::binary);
  if (!f) return false;
  const auto bytes = static_cast<uint32_t>(w.size() * 2);
  f.write("RIFF", 4);
  Put32(f, 36 + bytes);
  f.write("WAVEfmt ", 8);
  Put32(f, 16);
  Put16(f, 1);  // PCM
  Put16(f, 1);  // mono
  Put32(f, kRate);
  Put32(f, kRate * 2);
  Put16(f, 2);
  Put16(f, 16);
  f.write("data", 4);
  Put32(f, bytes);
  for (double x : w) {
    const double c = std::clamp(x, -1.0, 1.0);
    Put16(f, static_cast<uint16_t>(static_cast<int16_t>(std::lround(c * 32767))));
  }
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_sounds OUTPUT_FOLDER\n";
    return 2;
  }
  const std::string dir = argv[1];
  const std::pair<const char*, std::function<Wave()>> sounds[] = {
      {"buzz.wav", Buzz},
      {"goal.wav", Goal},
      {"puck.wav", Puck},
      {"SideBounce.wav", SideBounce},
      {"rebound.wav", Rebound},
      {"paddle.wav", Paddle},
      {"OpponentHit.wav", OpponentHit},
      {"opponentpaddleslide.wav", OpponentSlide},
      {"paddleslide.wav", PaddleSlide},
      {"background.wav", Background},
  };
  for (const auto& [name, make] : sounds) {
    Wave w = make();
    ToLoudness(w, PlannedLoudness(name));
    if (!Write(dir + "/" + name, w)) {
      std::cerr << "make_sounds: cannot write " << dir << "/" << name << "\n";
      return 1;
    }
  }
  return 0;
}
