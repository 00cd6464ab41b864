#include "platform/espeak/espeak_voice.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "language/tr.h"
#include "platform/mixer/resample.h"
#include "platform/voice_core.h"

// espeak-ng 1.51 makes itself a sound output while it starts, even when asked only for
// samples: its audio library opens a stream on the sound server to see whether one works,
// and the player's mixer shows a stray "eSpeak" stream. The game plays the samples itself,
// so the synthesizer is given no output at all: this definition stands in for the audio
// library's maker of outputs (the program's own definition is the one the dynamic linker
// binds), and espeak-ng, which only ever writes to an output when told to play, never uses it.
extern "C" struct audio_object* create_audio_device_object(const char* /*device*/,
                                                           const char* /*application*/,
                                                           const char* /*description*/) {
  return nullptr;
}

namespace palomir {

namespace {

using namespace std::chrono_literals;

// Synthesis output of one line, gathered by espeak's callback.
struct Gathered {
  std::vector<short> samples;
};

int OnSynth(short* wav, int count, espeak_EVENT* events) {
  if (wav && count > 0 && events && events->user_data) {
    auto* g = static_cast<Gathered*>(events->user_data);
    g->samples.insert(g->samples.end(), wav, wav + count);
  }
  return 0;
}

std::vector<float> Resample(const std::vector<short>& in, int rate) {
  std::vector<float> line(in.size());
  for (size_t i = 0; i < in.size(); ++i) line[i] = static_cast<float>(in[i]) / 32768.0f;
  return ResampleLine(line, rate);
}

// espeak-ng is one synthesizer per process. It is started once, by the first voice, and
// never stopped: espeak-ng 1.51 can wait for ever in espeak_Terminate, and a second
// espeak_Initialize in one process is not reliable. Every call into it holds this lock.
struct Synthesizer {
  std::mutex lock;
  bool tried = false;
  int rate = 0;  // samples per second; 0 when it could not start
  const char* failure = "";  // a line of the catalogs, in English

  static Synthesizer& Get() {
    static Synthesizer s;
    return s;
  }
  // Called with `lock` held.
  void Start(const std::string& data_path) {
    if (tried) return;
    tried = true;
    const int r = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 100,
                                    data_path.empty() ? nullptr : data_path.c_str(),
                                    espeakINITIALIZE_DONT_EXIT);
    if (r <= 0) {
      failure = N_("the speech synthesizer could not load its data");
      return;
    }
    if (espeak_SetVoiceByName("en") != EE_OK) {
      failure = N_("the speech synthesizer has no English voice");
      return;
    }
    espeak_SetSynthCallback(OnSynth);
    rate = r;
  }
};

// espeak-ng's name for a language: "pt_BR" is its "pt-br".
std::string EspeakName(const std::string& language) {
  std::string name;
  for (char c : language) {
    name += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

// The game's own voice, as a backend of the voice core: a line is made when the core hands
// it over, and the core is told it has been said once the mixer has played its last sample.
class EspeakBackend final : public MixedBackend {
 public:
  EspeakBackend(VoiceOutput output, int rate)
      : MixedBackend(output.mixer->speech()), out_(std::move(output)), rate_(rate) {}

  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    Synthesizer& synth = Synthesizer::Get();
    Gathered g;
    {
      std::lock_guard lock(synth.lock);
      if (out_.levels) {
        const int wanted = out_.levels->rate.load();
        if (wanted != applied_rate_) {
          espeak_SetParameter(espeakRATE, wanted, 0);
          applied_rate_ = wanted;
        }
      }
      espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr,
                   &g);
    }
    const std::vector<float> pcm = Resample(g.samples, rate_);
    return Play(pcm, cut, out_.running);
  }

 private:
  VoiceOutput out_;
  int rate_;
  int applied_rate_ = VoiceLevels::kUsualRate;  // the voice's own thread only
};

}  // namespace

Status CreateEspeakBackend(VoiceOutput output, std::unique_ptr<VoiceBackend>& backend) {
  Synthesizer& synth = Synthesizer::Get();
  int rate;
  {
    std::lock_guard lock(synth.lock);
    synth.Start(output.data_path);
    rate = synth.rate;
    // In the player's language: the line that says so is.
    if (rate == 0) return Status::Fail(Tr(synth.failure));
  }
  backend = std::make_unique<EspeakBackend>(std::move(output), rate);
  return Status::Ok();
}

bool ChooseEspeakLanguage(const std::string& language, const std::string& data_path,
                          std::string& voice_name, bool* no_words) {
  Synthesizer& synth = Synthesizer::Get();
  std::lock_guard lock(synth.lock);
  synth.Start(data_path);
  voice_name.clear();
  if (no_words) *no_words = false;
  if (synth.rate == 0) return false;
  bool found = espeak_SetVoiceByName(EspeakName(language).c_str()) == EE_OK;
  if (found) {
    // A voice without its dictionary loads, and then makes only silence for any line
    // (espeak-ng just prints that it cannot read it): a word tells.
    Gathered g;
    espeak_Synth("a", 2, 0, POS_CHARACTER, 0, espeakCHARS_UTF8, nullptr, &g);
    const bool heard = std::any_of(g.samples.begin(), g.samples.end(),
                                   [](short v) { return v > 64 || v < -64; });
    if (!heard) {
      found = false;
      if (no_words) *no_words = true;
    }
  }
  if (!found) espeak_SetVoiceByName("en");
  if (const espeak_VOICE* v = espeak_GetCurrentVoice(); v && v->name) voice_name = v->name;
  return found;
}

Status CreateEspeakVoice(VoiceOutput output, std::unique_ptr<Voice>& voice) {
  std::unique_ptr<VoiceBackend> backend;
  VoiceCoreSetup setup;
  setup.while_waiting = output.while_waiting;
  setup.levels = output.levels;
  Status s = CreateEspeakBackend(std::move(output), backend);
  if (!s.ok()) return s;
  voice = CreateVoiceCore(std::move(backend), std::move(setup));
  return Status::Ok();
}

}  // namespace palomir
