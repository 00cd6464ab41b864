#include "platform/win32/sapi_voice.h"

#include <objbase.h>
#include <oleauto.h>
#include <sapi.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cwctype>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "language/tr.h"
#include "platform/mixer/resample.h"
#include "platform/speech_queue.h"
#include "platform/voice_core.h"
#include "platform/win32/com.h"
#include "platform/win32/readers.h"
#include "platform/win32/wide.h"

namespace palomir {

namespace {

using namespace std::chrono_literals;
using win32::Hex;

// Not defined in mingw-w64's SAPI header: the stream format "a WAVEFORMATEX follows".
const GUID kWaveFormatEx = {0xC31ADBAE, 0x527F, 0x4ff5, {0xA2, 0x30, 0xF6, 0x2B, 0xB6, 0x1F, 0xF7, 0x0C}};
constexpr int kVoiceRate = 22050;

// SAPI's rate runs from -10 (a third of the usual speed) to 10 (three times it).
long SapiRate(int words_a_minute) {
  const double r = 10.0 * std::log(words_a_minute / double{VoiceLevels::kUsualRate}) / std::log(3.0);
  return std::lround(std::clamp(r, -10.0, 10.0));
}

// The languages SAPI voices name in their "Language" attribute (hexadecimal language ids, some
// with ';'-separated others), most fitting first, for the game's language ("de", "pt_BR"; ""
// is English).
std::vector<std::wstring> LanguageIds(const std::string& code) {
  if (code.empty() || code == "en") return {L"409"};
  if (code == "de") return {L"407"};
  if (code == "es") return {L"c0a", L"40a"};  // Spain's modern and traditional sort
  if (code == "fr") return {L"40c"};
  if (code == "pt_BR") return {L"416"};
  if (code == "ru") return {L"419"};
  // Another language: its locale's id as Windows knows it ("it_IT" is "it-IT").
  std::wstring name = win32::Wide(code);
  std::replace(name.begin(), name.end(), L'_', L'-');
  const LCID id = LocaleNameToLCID(name.c_str(), 0);
  if (id == 0) return {};
  wchar_t hex[16];
  std::swprintf(hex, 16, L"%x", static_cast<unsigned>(LANGIDFROMLCID(id)));
  return {hex};
}

// Whether a voice's "Language" attribute ("409", "C0A;40A") names the id, in either case.
bool Names(std::wstring languages, const std::wstring& id) {
  for (wchar_t& c : languages) c = static_cast<wchar_t>(std::towlower(c));
  size_t at = 0;
  for (;;) {
    const size_t end = languages.find(L';', at);
    if (languages.substr(at, end == std::wstring::npos ? end : end - at) == id) return true;
    if (end == std::wstring::npos) return false;
    at = end + 1;
  }
}

// The installed SAPI voices: their tokens (the caller releases them) with the languages they
// name. The voices' own attributes are read rather than asked for through EnumTokens' filter,
// which not every SAPI applies. COM must be set up on the calling thread.
struct VoiceToken {
  ISpObjectToken* token = nullptr;
  std::wstring languages;
};
std::vector<VoiceToken> InstalledVoices() {
  std::vector<VoiceToken> voices;
  ISpObjectTokenCategory* category = nullptr;
  if (FAILED(CoCreateInstance(CLSID_SpObjectTokenCategory, nullptr, CLSCTX_ALL,
                              IID_ISpObjectTokenCategory, reinterpret_cast<void**>(&category)))) {
    return voices;
  }
  IEnumSpObjectTokens* tokens = nullptr;
  if (SUCCEEDED(category->SetId(SPCAT_VOICES, FALSE)) &&
      SUCCEEDED(category->EnumTokens(nullptr, nullptr, &tokens)) && tokens) {
    ISpObjectToken* token = nullptr;
    ULONG got = 0;
    while (voices.size() < 256 && tokens->Next(1, &token, &got) == S_OK && got == 1 && token) {
      VoiceToken v{token, L""};
      ISpDataKey* attributes = nullptr;
      if (SUCCEEDED(token->OpenKey(L"Attributes", &attributes)) && attributes) {
        wchar_t* value = nullptr;
        if (SUCCEEDED(attributes->GetStringValue(L"Language", &value)) && value) {
          v.languages = value;
          CoTaskMemFree(value);
        }
        attributes->Release();
      }
      voices.push_back(v);
      token = nullptr;
    }
    tokens->Release();
  }
  category->Release();
  return voices;
}

// The voice for the language, added to (the caller releases it), or nullptr when no
// installed voice names it; `any` is whether there is a voice at all.
ISpObjectToken* VoiceFor(const std::string& code, bool& any) {
  const std::vector<VoiceToken> voices = InstalledVoices();
  any = !voices.empty();
  ISpObjectToken* found = nullptr;
  for (const std::wstring& id : LanguageIds(code)) {
    for (const VoiceToken& v : voices) {
      if (!found && Names(v.languages, id)) {
        found = v.token;
        found->AddRef();
      }
    }
  }
  for (const VoiceToken& v : voices) v.token->Release();
  return found;
}

// A voice's name as the player sees it in Windows' settings.
std::string NameOf(ISpObjectToken* token) {
  wchar_t* name = nullptr;
  std::string text;
  if (SUCCEEDED(token->GetStringValue(nullptr, &name)) && name) {
    text = win32::Utf8(name);
    CoTaskMemFree(name);
  }
  return text.empty() ? "sapi" : text;
}

// The system's voice, rendered to memory: made, used and released on one thread, in the
// multithreaded apartment that thread has set up.
class Synthesizer {
 public:
  ~Synthesizer() {
    if (voice_) voice_->Release();
  }
  // The reason when it cannot speak.
  // The language's voice where one is installed, else the system's usual one.
  std::string Start(const std::string& language) {
    const HRESULT hr = CoCreateInstance(CLSID_SpVoice, nullptr, CLSCTX_ALL, IID_ISpVoice,
                                        reinterpret_cast<void**>(&voice_));
    if (FAILED(hr)) return Fill(Tr("the system's voice (SAPI) could not be started (%s)"), Hex(hr));
    bool any = false;
    if (ISpObjectToken* token = VoiceFor(language, any)) {
      voice_->SetVoice(token);
      token->Release();
    }
    std::vector<float> probe;
    return Say(L"ok", VoiceLevels::kUsualRate, probe);
  }
  // One line as mono float samples at kVoiceRate; the reason when it cannot be said.
  std::string Say(const std::wstring& text, int rate, std::vector<float>& out) {
    IStream* memory = nullptr;
    ISpStream* stream = nullptr;
    HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, &memory);
    if (SUCCEEDED(hr)) {
      hr = CoCreateInstance(CLSID_SpStream, nullptr, CLSCTX_ALL, IID_ISpStream,
                            reinterpret_cast<void**>(&stream));
    }
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, kVoiceRate, kVoiceRate * 2, 2, 16, 0};
    if (SUCCEEDED(hr)) hr = stream->SetBaseStream(memory, kWaveFormatEx, &format);
    if (SUCCEEDED(hr)) hr = voice_->SetOutput(stream, TRUE);
    if (SUCCEEDED(hr)) hr = voice_->SetRate(SapiRate(rate));
    if (SUCCEEDED(hr)) hr = voice_->Speak(text.c_str(), SPF_DEFAULT | SPF_IS_NOT_XML, nullptr);
    if (SUCCEEDED(hr)) {
      HGLOBAL global = nullptr;
      STATSTG st{};
      if (SUCCEEDED(GetHGlobalFromStream(memory, &global)) && SUCCEEDED(memory->Stat(&st, STATFLAG_NONAME))) {
        const auto* pcm = static_cast<const int16_t*>(GlobalLock(global));
        const size_t n = static_cast<size_t>(st.cbSize.QuadPart / 2);
        out.resize(n);
        for (size_t i = 0; pcm && i < n; ++i) out[i] = pcm[i] / 32768.0f;
        GlobalUnlock(global);
      }
    }
    // The voice keeps this stream until the next line's: handing it none would make it open
    // the system's sound output.
    if (stream) stream->Release();
    if (memory) memory->Release();
    if (FAILED(hr)) return Fill(Tr("the system's voice (SAPI) cannot speak (%s)"), Hex(hr));
    return "";
  }

 private:
  ISpVoice* voice_ = nullptr;
};

// Whether the system's voice for the language starts and speaks; the reason when not. On a
// thread of its own, with COM set up as the voice's thread sets it up.
std::string ProbeSapi(const std::string& language) {
  std::string why;
  std::thread([&] {
    const win32::ComApartment com(COINIT_MULTITHREADED);
    if (!com.ok()) {
      why = "the system's voice (SAPI) could not be started (" + Hex(com.result()) + ")";
      return;
    }
    Synthesizer synth;
    why = synth.Start(language);
  }).join();
  return why;
}

// The game's own voice, as a backend of the voice core: the system's SAPI voice renders a
// line when the core hands it over, and the core is told it has been said once the mixer
// has played its last sample.
class SapiBackend final : public MixedBackend {
 public:
  explicit SapiBackend(SapiSetup setup)
      : MixedBackend(setup.mixer->speech()), out_(std::move(setup)) {}

  // Voice thread: COM set up there, and the voice made there.
  Status Open(const std::atomic<bool>& /*stop*/) override {
    com_.emplace(COINIT_MULTITHREADED);
    if (!com_->ok()) {
      return Status::Fail(
          Fill(Tr("the system's voice (SAPI) could not be started (%s)"), Hex(com_->result())));
    }
    synth_ = std::make_unique<Synthesizer>();
    const std::string why = synth_->Start(out_.language);
    return why.empty() ? Status::Ok() : Status::Fail(why);
  }

  // Voice thread: the voice released where it was made, then COM let go there.
  void Close() override {
    synth_.reset();
    com_.reset();
  }

  // Voice thread.
  Status Say(const std::string& text, const std::atomic<bool>& cut) override {
    std::vector<float> said;
    const int rate = out_.levels ? out_.levels->rate.load() : VoiceLevels::kUsualRate;
    const std::string why = synth_->Say(win32::Wide(text), rate, said);
    if (!why.empty()) return Status::Fail(why);
    const std::vector<float> pcm = ResampleLine(said, kVoiceRate);
    return Play(pcm, cut, out_.running);
  }

 private:
  SapiSetup out_;
  std::optional<win32::ComApartment> com_;  // the voice thread's, from Open to Close
  std::unique_ptr<Synthesizer> synth_;      // the voice thread's
};

// The game's own voice for the core that takes over: started here, so that a voice that
// cannot speak is known at once and the game plays without speech.
Status OwnBackend(const SapiSetup& setup, std::unique_ptr<VoiceBackend>& backend) {
  const std::string why = ProbeSapi(setup.language);
  if (!why.empty()) return Status::Fail(why);
  backend = std::make_unique<SapiBackend>(setup);
  return Status::Ok();
}

}  // namespace

bool ChooseSapiLanguage(const std::string& language, std::string& voice_name) {
  bool found = false;
  voice_name.clear();
  // On a thread of its own, so that COM is set up here as the voice's thread sets it up,
  // whatever the game thread does with it later.
  std::thread([&] {
    const win32::ComApartment com(COINIT_MULTITHREADED);
    if (!com.ok()) return;
    bool any = false;
    ISpObjectToken* token = VoiceFor(language, any);
    found = token != nullptr;
    if (!token && any) {
      token = VoiceFor("", any);  // the English voice the game falls back to
      // One that cannot speak either (no audio engine, as under Wine) leaves no voice at
      // all: the text then stays in the player's language rather than go English with it.
      if (token && !Synthesizer().Start("").empty()) found = true;
    }
    if (token) {
      voice_name = NameOf(token);
      token->Release();
    } else if (any) {
      voice_name = "sapi";  // the system's usual voice
    }
  }).join();
  return found;
}

Status CreateSapiVoice(SapiSetup setup, std::unique_ptr<Voice>& voice) {
  VoiceCoreSetup core;
  core.while_waiting = setup.while_waiting;
  core.levels = setup.levels;
  core.poll = setup.poll;
  std::unique_ptr<VoiceBackend> backend;
  if (setup.system) {
    // The first running screen reader of these takes the lines; none running is told when
    // the game first speaks.
    std::vector<std::unique_ptr<VoiceBackend>> readers;
    readers.push_back(win32::NvdaReader(setup));
    readers.push_back(win32::JawsReader(setup));
    readers.push_back(win32::UiaReader(setup));
    backend = win32::FirstReader(std::move(readers));
    core.fallback = [setup](std::unique_ptr<VoiceBackend>& own) { return OwnBackend(setup, own); };
  } else {
    const Status s = OwnBackend(setup, backend);
    if (!s.ok()) return s;
  }
  voice = CreateVoiceCore(std::move(backend), std::move(core));
  return Status::Ok();
}

}  // namespace palomir
