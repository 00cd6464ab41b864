// Writes the game's ten sounds as 16-bit mono WAV files at 22050 Hz. Deterministic: the
// same files every run.
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

void Normalize(Wave& w, double peak) {
  double m = 0;
  for (double x : w) m = std::max(m, std::fabs(x));
  if (m > 0) {
    for (double& x : w) x *= peak / m;
  }
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

Wave Puck() {
  // 0.8 s loop: scraping noise with a rolling rumble; every periodic part fits the loop a
  // whole number of times, and the noise is filtered as a ring.
  const double len = 0.8;
  Wave w = Silence(len);
  Noise n(11);
  for (double& x : w) x = n();
  LowPass(w, 1800, true);
  Wave rumble = Silence(len);
  Noise m(12);
  for (double& x : rumble) x = m();
  LowPass(rumble, 120, true);
  for (size_t i = 0; i < w.size(); ++i) {
    const double roll = 0.75 + 0.25 * std::sin(2 * kPi * 10.0 * T(i));  // 8 turns a loop
    w[i] = 0.5 * w[i] * roll + 2.5 * rumble[i] + 0.08 * std::sin(2 * kPi * 95.0 * T(i)) * roll;
  }
  Normalize(w, 0.7);
  return w;
}

Wave Paddle() {
  Wave w = Silence(0.16);
  Noise n(21);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    w[i] = std::exp(-t * 60) * (std::sin(2 * kPi * 1250 * t) + 0.5 * std::sin(2 * kPi * 2630 * t)) +
           std::exp(-t * 400) * n();
  }
  Fade(w, 0.0005, 0.02);
  Normalize(w, 0.7);
  return w;
}

Wave OpponentHit() {
  Wave w = Silence(0.3);
  Noise n(31);
  Wave crack = Silence(0.3);
  for (double& x : crack) x = n();
  LowPass(crack, 900);
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    w[i] = std::exp(-t * 18) * (std::sin(2 * kPi * 330 * t) + 0.6 * std::sin(2 * kPi * 495 * t)) +
           2.0 * std::exp(-t * 60) * crack[i];
  }
  Fade(w, 0.001, 0.04);
  Normalize(w, 0.7);
  return w;
}

Wave SideBounce() {
  Wave w = Silence(0.22);
  Noise n(41);
  Wave body = Silence(0.22);
  for (double& x : body) x = n();
  LowPass(body, 300);
  double phase = 0;
  for (size_t i = 0; i < w.size(); ++i) {
    const double t = T(i);
    phase += 2 * kPi * (70 + 60 * std::exp(-t * 40)) / kRate;  // a thud that drops in pitch
    w[i] = std::exp(-t * 25) * std::sin(phase) + 1.5 * std::exp(-t * 50) * body[i];
  }
  Fade(w, 0.001, 0.03);
  Normalize(w, 0.7);
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
  Fade(w, 0.002, 0.05);
  Normalize(w, 0.7);
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
  Fade(w, 0.01, 0.08);
  Normalize(w, 0.7);
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
  Fade(w, 0.002, 0.1);
  Normalize(w, 0.7);
  return w;
}

Wave Slide(double low_hz, double high_hz, uint32_t seed) {
  Wave w = Silence(0.3);
  Noise n(seed);
  for (double& x : w) x = n();
  BandPass(w, low_hz, high_hz);
  for (size_t i = 0; i < w.size(); ++i) w[i] *= std::sin(kPi * T(i) / 0.3);  // swell and fade
  Normalize(w, 0.7);
  return w;
}

Wave Background() {
  const double len = 2.0;
  Wave w = Silence(len);
  Noise n(91);
  for (double& x : w) x = n();
  LowPass(w, 400, true);
  for (size_t i = 0; i < w.size(); ++i) w[i] *= 0.8 + 0.2 * std::sin(2 * kPi * 0.5 * T(i));
  Normalize(w, 0.1);  // a quiet room
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
      {"opponentpaddleslide.wav", [] { return Slide(150, 700, 81); }},
      {"paddleslide.wav", [] { return Slide(600, 2500, 82); }},
      {"background.wav", Background},
  };
  for (const auto& [name, make] : sounds) {
    if (!Write(dir + "/" + name, make())) {
      std::cerr << "make_sounds: cannot write " << dir << "/" << name << "\n";
      return 1;
    }
  }
  return 0;
}
