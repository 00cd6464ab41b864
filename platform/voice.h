// The speech voice. Called from the game thread only. Speak with kSpeakWait blocks until the
// line has been heard; the other calls never wait for speech. Letting a voice go waits for
// its thread to stop (a line being made, a backend still opening).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace palomir {

// Any thread; does not block. How long `text` (UTF-8) takes to say at the usual rate, near
// enough, in seconds: as the voice core reckons a line it cannot measure.
double SpokenLength(const std::string& text);

inline constexpr int32_t kSpeakWait = 0;   // return once this and everything before it is heard
inline constexpr int32_t kSpeakAsync = 1;  // queue behind what is already queued, return at once
// Queued as kSpeakAsync, a line of the help or the tour: never left out to keep up with play,
// and gone (cut short where it is being said) at the next Hush.
inline constexpr int32_t kSpeakGuide = 2;
// As kSpeakGuide, a message about the machine (speech-dispatcher failed, the sound output
// is back): no part of the game, so no trace or recording writes it down.
inline constexpr int32_t kSpeakNote = 3;

// The player's rate and loudness for a voice: set on the game thread, read by the voice's
// own thread before each line it says.
struct VoiceLevels {
  static constexpr int kUsualRate = 175;  // words a minute
  std::atomic<int> rate{kUsualRate};
  std::atomic<int> volume_db{0};
};

class Voice {
 public:
  virtual ~Voice() = default;
  // Texts are spoken in call order, each whole, none cutting another off.
  virtual Status Speak(const std::string& text, int32_t flags) = 0;
  // The help's and the tour's lines stop: the one being said at once, the rest unsaid.
  virtual void Hush() {}
  // Seconds of speech still to be heard, near enough; 0 when the voice is quiet.
  virtual double Behind() const { return 0; }
};

}  // namespace palomir
