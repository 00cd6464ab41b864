// How a sound is heard, measured: loudness (K-weighted, as loudness meters weigh it), peak,
// DC offset, spectral centroid, rise time and the energy in each octave band. Used by the
// sound generator to set each sound to its planned loudness, and by the tests that keep the
// sounds to that plan. Mono samples, any rate.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace palomir::measure {

inline constexpr double kPi = 3.14159265358979323846;

// A second-order filter section (direct form I).
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  double operator()(double x) {
    const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
  static Biquad Make(double b0, double b1, double b2, double a0, double a1, double a2) {
    Biquad q;
    q.b0 = b0 / a0, q.b1 = b1 / a0, q.b2 = b2 / a0, q.a1 = a1 / a0, q.a2 = a2 / a0;
    return q;
  }
  // The audio-filter cookbook's shapes.
  static Biquad HighShelf(double rate, double hz, double gain_db, double q) {
    const double a = std::pow(10.0, gain_db / 40), w = 2 * kPi * hz / rate;
    const double alpha = std::sin(w) / (2 * q), c = std::cos(w), s = 2 * std::sqrt(a) * alpha;
    return Make(a * ((a + 1) + (a - 1) * c + s), -2 * a * ((a - 1) + (a + 1) * c),
                a * ((a + 1) + (a - 1) * c - s), (a + 1) - (a - 1) * c + s,
                2 * ((a - 1) - (a + 1) * c), (a + 1) - (a - 1) * c - s);
  }
  static Biquad HighPass(double rate, double hz, double q) {
    const double w = 2 * kPi * hz / rate, alpha = std::sin(w) / (2 * q), c = std::cos(w);
    return Make((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + alpha, -2 * c, 1 - alpha);
  }
  static Biquad BandPass(double rate, double hz, double q) {
    const double w = 2 * kPi * hz / rate, alpha = std::sin(w) / (2 * q), c = std::cos(w);
    return Make(alpha, 0, -alpha, 1 + alpha, -2 * c, 1 - alpha);
  }
};

inline double Db(double power_ratio) {
  return 10 * std::log10(std::max(power_ratio, 1e-20));
}

// K-weighting: a shelf of +4 dB above about 1.5 kHz and a high-pass at 38 Hz.
inline std::vector<double> KWeighted(const std::vector<double>& s, double rate) {
  Biquad shelf = Biquad::HighShelf(rate, 1500, 4.0, 1 / std::sqrt(2.0));
  Biquad high = Biquad::HighPass(rate, 38, 0.5);
  std::vector<double> out(s.size());
  for (size_t i = 0; i < s.size(); ++i) out[i] = high(shelf(s[i]));
  return out;
}

// The sound's loudness in LUFS: the loudest 400 ms of it (momentary loudness), K-weighted,
// silence assumed around it. Short cues are judged by their loudest moment, as the ear does.
inline double Loudness(const std::vector<double>& s, double rate) {
  const std::vector<double> k = KWeighted(s, rate);
  const auto window = static_cast<size_t>(0.4 * rate);
  const auto hop = static_cast<size_t>(0.01 * rate);
  double best = 0;
  for (size_t start = 0; start == 0 || start + window <= k.size() + window - hop; start += hop) {
    double sum = 0;
    for (size_t i = start; i < std::min(k.size(), start + window); ++i) sum += k[i] * k[i];
    best = std::max(best, sum / static_cast<double>(window));
    if (start + window >= k.size()) break;
  }
  return -0.691 + Db(best);
}

inline double PeakDb(const std::vector<double>& s) {
  double m = 0;
  for (double x : s) m = std::max(m, std::fabs(x));
  return 20 * std::log10(std::max(m, 1e-10));
}

inline double DcDb(const std::vector<double>& s) {
  double sum = 0;
  for (double x : s) sum += x;
  return 20 * std::log10(std::max(std::fabs(sum / static_cast<double>(s.size())), 1e-10));
}

// Energy per octave band, in dB of mean power, for bands centred on 125 Hz .. 8 kHz.
inline constexpr std::array<double, 7> kOctaves = {125, 250, 500, 1000, 2000, 4000, 8000};
inline std::array<double, 7> OctaveBands(const std::vector<double>& s, double rate) {
  std::array<double, 7> out{};
  for (size_t b = 0; b < kOctaves.size(); ++b) {
    if (kOctaves[b] * 1.41 >= rate / 2) {
      out[b] = -200;
      continue;
    }
    Biquad f1 = Biquad::BandPass(rate, kOctaves[b], std::sqrt(2.0));
    Biquad f2 = Biquad::BandPass(rate, kOctaves[b], std::sqrt(2.0));
    double sum = 0;
    for (double x : s) {
      const double y = f2(f1(x));
      sum += y * y;
    }
    out[b] = Db(sum / static_cast<double>(s.size()));
  }
  return out;
}

// Centre of gravity of the power spectrum, in Hz.
inline double Centroid(const std::vector<double>& s, double rate) {
  size_t n = 1;
  while (n < s.size()) n <<= 1;
  std::vector<std::complex<double>> a(n);
  for (size_t i = 0; i < s.size(); ++i) a[i] = s[i];
  // Iterative radix-2 transform.
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2 * kPi / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> t = 1;
      for (size_t k = 0; k < len / 2; ++k, t *= w) {
        const std::complex<double> u = a[i + k], v = a[i + k + len / 2] * t;
        a[i + k] = u + v, a[i + k + len / 2] = u - v;
      }
    }
  }
  double num = 0, den = 0;
  for (size_t k = 1; k < n / 2; ++k) {
    const double p = std::norm(a[k]);
    num += p * static_cast<double>(k) * rate / static_cast<double>(n);
    den += p;
  }
  return den > 0 ? num / den : 0;
}

// The amplitude envelope: peak level over 5 ms steps.
inline std::vector<double> Envelope(const std::vector<double>& s, double rate) {
  const auto step = static_cast<size_t>(0.005 * rate);
  std::vector<double> env;
  for (size_t i = 0; i < s.size(); i += step) {
    double m = 0;
    for (size_t j = i; j < std::min(s.size(), i + step); ++j) m = std::max(m, std::fabs(s[j]));
    env.push_back(m);
  }
  return env;
}

// Milliseconds from the sound's start until its loudness (RMS over 5 ms) first comes within
// 3 dB of its loudest.
inline double RiseMs(const std::vector<double>& s, double rate) {
  const auto step = static_cast<size_t>(0.005 * rate);
  std::vector<double> rms;
  for (size_t i = 0; i + step <= s.size(); i += step) {
    double sum = 0;
    for (size_t j = i; j < i + step; ++j) sum += s[j] * s[j];
    rms.push_back(std::sqrt(sum / static_cast<double>(step)));
  }
  if (rms.empty()) return 0;
  const double top = *std::max_element(rms.begin(), rms.end());
  for (size_t i = 0; i < rms.size(); ++i) {
    if (rms[i] >= 0.708 * top) return static_cast<double>(i + 1) * 5.0;
  }
  return 0;
}

// A fingerprint for telling sounds apart: the octave-band shape (relative to the sound's own
// total, so that level alone makes no difference), the rise time, and how long it lasts
// above a tenth of its peak.
struct Print {
  std::array<double, 7> shape{};
  double rise_ms = 0;
  double length_ms = 0;
};
inline Print Fingerprint(const std::vector<double>& s, double rate) {
  Print p;
  p.shape = OctaveBands(s, rate);
  const double top = *std::max_element(p.shape.begin(), p.shape.end());
  for (double& b : p.shape) b = std::max(b - top, -40.0);
  p.rise_ms = RiseMs(s, rate);
  const std::vector<double> env = Envelope(s, rate);
  const double m = *std::max_element(env.begin(), env.end());
  p.length_ms = 5.0 * static_cast<double>(std::count_if(env.begin(), env.end(),
                                                        [m](double e) { return e > 0.1 * m; }));
  return p;
}
// Distance between two fingerprints: dB of band shape, plus rise and length on a log scale
// (a doubling counts as 6).
inline double Distance(const Print& a, const Print& b) {
  double d = 0;
  for (size_t i = 0; i < a.shape.size(); ++i)
    d += (a.shape[i] - b.shape[i]) * (a.shape[i] - b.shape[i]);
  auto log_gap = [](double x, double y) { return 6 * std::log2((x + 10) / (y + 10)); };
  d += log_gap(a.rise_ms, b.rise_ms) * log_gap(a.rise_ms, b.rise_ms);
  d += log_gap(a.length_ms, b.length_ms) * log_gap(a.length_ms, b.length_ms);
  return std::sqrt(d);
}

// A 16-bit mono WAV file's samples, as written, and its rate; empty when it is not one.
inline std::vector<double> ReadWav16(const std::string& path, double& rate) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
  std::vector<double> out;
  auto le32 = [&](size_t i) {
    return b[i] | b[i + 1] << 8 | b[i + 2] << 16 | uint32_t{b[i + 3]} << 24;
  };
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t len = le32(at + 4);
    const std::string id(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at) + 4);
    if (id == "fmt " && at + 16 <= b.size()) rate = le32(at + 12);
    if (id == "data") {
      for (size_t i = at + 8; i + 1 < at + 8 + len && i + 1 < b.size(); i += 2) {
        out.push_back(static_cast<int16_t>(b[i] | b[i + 1] << 8) / 32768.0);
      }
    }
    at += 8 + len + (len & 1);
  }
  return out;
}

}  // namespace palomir::measure
