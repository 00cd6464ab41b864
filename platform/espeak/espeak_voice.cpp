#include "platform/espeak/espeak_voice.h"

#include <espeak-ng/speak_lib.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/mixer/resample.h"
#include "platform/speech_queue.h"

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
  std::string failure;

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
      failure = "the speech synthesizer could not load its data";
      return;
    }
    if (espeak_SetVoiceByName("en") != EE_OK) {
      failure = "the speech synthesizer has no English voice";
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

class EspeakVoice final : public Voice {
 public:
  explicit EspeakVoice(VoiceOutput output) : out_(std::move(output)) {}

  ~EspeakVoice() override {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  Status Start() {
    std::promise<Status> started;
    auto result = started.get_future();
    thread_ = std::thread([this, &started] { Run(started); });
    Status s = result.get();
    return s;
  }

  Status Speak(const std::string& text, int32_t flags) override {
    if (flags != kSpeakWait && flags != kSpeakAsync) {
      return Status::Fail("Speak: unknown flags " + std::to_string(flags));
    }
    uint64_t id;
    {
      std::lock_guard lock(mutex_);
      id = ++queued_;
      const double now =
          std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      // What falls too far behind is left out unsaid.
      lines_.Push({id, text, flags == kSpeakWait, now, 0});
    }
    wake_.notify_all();
    if (flags == kSpeakWait) WaitHeard(id);
    return Status::Ok();
  }

 private:
  void WaitHeard(uint64_t id) {
    for (;;) {
      // With no output (none opened, or the one there was lost) nothing would ever be heard.
      if (!out_.running()) out_.mixer->speech().DropPending();
      {
        std::unique_lock lock(mutex_);
        if (made_ >= id && out_.mixer->speech().Heard() >= end_of_made_through(id)) return;
        done_.wait_for(lock, 5ms);
      }
      if (out_.while_waiting) out_.while_waiting();
    }
  }

  // Called with the lock held: where the line `id` ends in the speech stream.
  uint64_t end_of_made_through(uint64_t id) const {
    for (const auto& [line, end] : ends_) {
      if (line >= id) return end;
    }
    return 0;
  }

  void Run(std::promise<Status>& started) {
    Synthesizer& synth = Synthesizer::Get();
    int rate;
    {
      std::lock_guard lock(synth.lock);
      synth.Start(out_.data_path);
      rate = synth.rate;
      if (rate == 0) {
        started.set_value(Status::Fail(synth.failure));
        return;
      }
    }
    started.set_value(Status::Ok());

    for (;;) {
      QueuedLine line;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return quit_ || !lines_.empty(); });
        if (quit_) break;
        lines_.Pop(line);
      }
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
        espeak_Synth(line.text.c_str(), line.text.size() + 1, 0, POS_CHARACTER, 0, espeakCHARS_UTF8,
                     nullptr, &g);
      }
      const std::vector<float> pcm = Resample(g.samples, rate);
      if (!Feed(pcm)) break;
      {
        std::lock_guard lock(mutex_);
        made_ = line.id;
        ends_.push_back({line.id, out_.mixer->speech().Written()});
        while (ends_.size() > 64) ends_.pop_front();
      }
      done_.notify_all();
    }
  }

  // Hands the line to the mixer, waiting while the ring is full. False when quitting.
  bool Feed(const std::vector<float>& pcm) {
    SpeechStream& speech = out_.mixer->speech();
    size_t at = 0;
    while (at < pcm.size()) {
      if (!out_.running()) {
        speech.DropPending();
        return !Quitting();
      }
      at += speech.Write(std::span<const float>(pcm).subspan(at));
      if (at < pcm.size()) {
        if (Quitting()) return false;
        std::this_thread::sleep_for(5ms);
      }
    }
    if (!out_.running()) speech.DropPending();
    return true;
  }

  bool Quitting() {
    std::lock_guard lock(mutex_);
    return quit_;
  }

  VoiceOutput out_;
  std::thread thread_;
  int applied_rate_ = VoiceLevels::kUsualRate;  // the voice's own thread only
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  SpeechQueue lines_;
  std::deque<std::pair<uint64_t, uint64_t>> ends_;  // line, end in the speech stream
  uint64_t queued_ = 0;
  uint64_t made_ = 0;
  bool quit_ = false;
};

}  // namespace

bool ChooseEspeakLanguage(const std::string& language, const std::string& data_path,
                          std::string& voice_name) {
  Synthesizer& synth = Synthesizer::Get();
  std::lock_guard lock(synth.lock);
  synth.Start(data_path);
  voice_name.clear();
  if (synth.rate == 0) return false;
  const bool found = espeak_SetVoiceByName(EspeakName(language).c_str()) == EE_OK;
  if (!found) espeak_SetVoiceByName("en");
  if (const espeak_VOICE* v = espeak_GetCurrentVoice(); v && v->name) voice_name = v->name;
  return found;
}

Status CreateEspeakVoice(VoiceOutput output, std::unique_ptr<Voice>& voice) {
  auto v = std::make_unique<EspeakVoice>(std::move(output));
  Status s = v->Start();
  if (!s.ok()) return s;
  voice = std::move(v);
  return Status::Ok();
}

}  // namespace palomir
