#include "platform/win32/wasapi_output.h"

#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/win32/com.h"

namespace palomir {

namespace {

// Not in mingw-w64's headers: the shared-mode stream converts our 48 kHz float to the
// endpoint's own format, with the system's usual-quality rate converter.
constexpr DWORD kAutoConvertPcm = 0x80000000;
constexpr DWORD kSrcDefaultQuality = 0x08000000;
// 32-bit float samples (ksmedia.h's KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, which mingw-w64 leaves
// to a library the game does not otherwise need).
const GUID kFloatSamples = {0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
// How much the endpoint buffers: 20 ms, filled in periods of the engine's own (10 ms or less).
constexpr REFERENCE_TIME kBufferTime = 200000;
template <typename T>
void Release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

}  // namespace

struct WasapiDriver::Stream {
  IMMDeviceEnumerator* devices = nullptr;
  IMMDevice* device = nullptr;
  IAudioClient* client = nullptr;
  IAudioRenderClient* render = nullptr;
  HANDLE ready = nullptr;
  UINT32 frames = 0;
  std::wstring id;  // the endpoint's

  ~Stream() {
    if (client) client->Stop();
    Release(render);
    Release(client);
    Release(device);
    Release(devices);
    if (ready) CloseHandle(ready);
  }

  // The reason in the player's words when it cannot be opened.
  std::string Open() {
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                  __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&devices));
    if (FAILED(hr)) return "the Windows audio service cannot be reached (" + Hex(hr) + ")";
    hr = devices->GetDefaultAudioEndpoint(eRender, eConsole, &device);
    if (hr == E_NOTFOUND) return "no sound device";
    if (FAILED(hr)) return "no sound device could be had (" + Hex(hr) + ")";
    LPWSTR name = nullptr;
    if (SUCCEEDED(device->GetId(&name)) && name) {
      id = name;
      CoTaskMemFree(name);
    }
    hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                          reinterpret_cast<void**>(&client));
    if (FAILED(hr)) return "the sound device could not be opened (" + Hex(hr) + ")";
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.Format.nSamplesPerSec = Mixer::kRate;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = 8;
    format.Format.nAvgBytesPerSec = Mixer::kRate * 8;
    format.Format.cbSize = sizeof(format) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    format.SubFormat = kFloatSamples;
    hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                            AUDCLNT_STREAMFLAGS_EVENTCALLBACK | kAutoConvertPcm | kSrcDefaultQuality,
                            kBufferTime, 0, &format.Format, nullptr);
    if (FAILED(hr)) return "the sound device does not take the game's sound (" + Hex(hr) + ")";
    ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!ready || FAILED(client->SetEventHandle(ready)) || FAILED(client->GetBufferSize(&frames)) ||
        FAILED(client->GetService(__uuidof(IAudioRenderClient), reinterpret_cast<void**>(&render)))) {
      return "the sound device could not be started";
    }
    // Silence first, so the engine's first period does not find the buffer empty.
    BYTE* silence = nullptr;
    if (SUCCEEDED(render->GetBuffer(frames, &silence))) {
      render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT);
    }
    hr = client->Start();
    if (FAILED(hr)) return "the sound device could not be started (" + Hex(hr) + ")";
    return "";
  }

  // Audio thread. Mixes as many frames as the endpoint has room for. False when the
  // endpoint is gone.
  bool Fill(Mixer& mixer) {
    UINT32 queued = 0;
    if (FAILED(client->GetCurrentPadding(&queued))) return false;
    const UINT32 room = frames - queued;
    if (room == 0) return true;
    BYTE* data = nullptr;
    if (FAILED(render->GetBuffer(room, &data))) return false;
    mixer.mix(std::span<float>(reinterpret_cast<float*>(data), size_t{room} * 2));
    return SUCCEEDED(render->ReleaseBuffer(room, 0));
  }
};


// What the fill thread and the listener report, kept apart from the driver so that neither
// outlives it: the listener may be called after the driver let go of it.
struct WasapiDriver::Events {
  HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> lost{false};
  std::atomic<bool> moved{false};
  std::mutex lock;
  std::wstring playing;  // the endpoint the game plays on (under the lock); "" while none

  ~Events() { CloseHandle(quit); }
  bool Playing(LPCWSTR id) {
    std::lock_guard g(lock);
    return id && !playing.empty() && playing == id;
  }
};

// Windows' news of its endpoints: the default for games' sound (the console role) changed,
// or the endpoint played on went away.
class WasapiDriver::Listener final : public win32::ComObject<IMMNotificationClient> {
 public:
  explicit Listener(std::shared_ptr<Events> events) : events_(std::move(events)) {}

  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                   LPCWSTR id) override {
    if (flow != eRender || role != eConsole) return S_OK;
    std::lock_guard g(events_->lock);
    if (events_->playing.empty()) return S_OK;
    if (!id) {
      events_->lost = true;  // no output at all any more
    } else if (events_->playing != id) {
      events_->moved = true;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD state) override {
    if (state != DEVICE_STATE_ACTIVE && events_->Playing(id)) events_->lost = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override {
    if (events_->Playing(id)) events_->lost = true;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override {
    return S_OK;
  }

 private:
  std::shared_ptr<Events> events_;
};

WasapiDriver::WasapiDriver()
    : events_(std::make_shared<Events>()), listener_(new Listener(events_)) {}

WasapiDriver::~WasapiDriver() {
  listener_->Release();
}

IMMNotificationClient* WasapiDriver::listener() const {
  return listener_;
}

void WasapiDriver::ThreadBegins() {
  // The endpoint's objects are made, used and released on the output's thread and the fill
  // thread, both in the process's multithreaded apartment.
  com_ = std::make_unique<win32::ComApartment>(COINIT_MULTITHREADED);
}

void WasapiDriver::ThreadEnds() {
  com_.reset();
}

int WasapiDriver::Open(const std::shared_ptr<Mixer>& mixer, int, bool,
                       const std::atomic<bool>&, std::string& why) {
  events_->lost = false;
  events_->moved = false;
  ResetEvent(events_->quit);
  if (!com_ || !com_->ok()) {
    why = "the Windows audio service cannot be reached (" + Hex(com_ ? com_->result() : E_FAIL) + ")";
    return 0;
  }
  auto stream = std::make_unique<Stream>();
  why = stream->Open();
  if (!why.empty()) return 0;
  {
    std::lock_guard g(events_->lock);
    events_->playing = stream->id;
  }
  // Heard from Windows from now on; where it cannot listen, a change of the default is not
  // followed, and a lost endpoint is still found by the fill thread.
  stream->devices->RegisterEndpointNotificationCallback(listener_);
  stream_ = std::move(stream);
  fill_ = std::thread([this, mixer, events = events_, stream = stream_.get()] {
    const win32::ComApartment com(COINIT_MULTITHREADED);
    DWORD task = 0;
    const HANDLE mmcss = AvSetMmThreadCharacteristicsW(L"Games", &task);
    // The endpoint's event says when a period has been taken; the quit event ends it.
    const HANDLE waits[2] = {events->quit, stream->ready};
    for (;;) {
      const DWORD w = WaitForMultipleObjects(2, waits, FALSE, 200);
      if (w == WAIT_OBJECT_0) break;
      if (!stream->Fill(*mixer)) {
        events->lost = true;  // the endpoint is gone (invalidated, the service restarted)
        break;
      }
    }
    if (mmcss) AvRevertMmThreadCharacteristics(mmcss);
  });
  return static_cast<int>(stream_->frames);
}

void WasapiDriver::Close() {
  if (!stream_) return;
  SetEvent(events_->quit);
  if (fill_.joinable()) fill_.join();
  stream_->devices->UnregisterEndpointNotificationCallback(listener_);
  {
    std::lock_guard g(events_->lock);
    events_->playing.clear();
  }
  stream_.reset();
}

bool WasapiDriver::Lost() const {
  return events_->lost.load();
}

bool WasapiDriver::Moved() const {
  return events_->moved.load();
}

}  // namespace palomir
