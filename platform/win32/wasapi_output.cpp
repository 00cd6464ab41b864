#include "platform/win32/wasapi_output.h"

#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <windows.h>

#include <cstdio>
#include <future>
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
// How often a lost output is tried again.
constexpr std::chrono::milliseconds kRetry{500};

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

// One open endpoint.
struct Stream {
  IMMDeviceEnumerator* devices = nullptr;
  IMMDevice* device = nullptr;
  IAudioClient* client = nullptr;
  IAudioRenderClient* render = nullptr;
  HANDLE ready = nullptr;
  UINT32 frames = 0;

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

}  // namespace

struct WasapiOutput::Shared {
  HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> lost{false};
  ~Shared() { CloseHandle(quit); }
};

Status WasapiOutput::Open() {
  Close();
  shared_ = std::make_shared<Shared>();
  std::promise<std::string> opened;
  auto result = opened.get_future();
  thread_ = std::thread([this, shared = shared_, mixer = mixer_, &opened] {
    // The endpoint's objects are made, used and released on this thread, in its apartment.
    const win32::ComApartment com(COINIT_MULTITHREADED);
    if (!com.ok()) {
      opened.set_value("the Windows audio service cannot be reached (" + Hex(com.result()) + ")");
      return;
    }
    DWORD task = 0;
    const HANDLE mmcss = AvSetMmThreadCharacteristicsW(L"Games", &task);
    bool first = true;
    for (;;) {
      auto stream = std::make_unique<Stream>();
      const std::string why = stream->Open();
      if (first) {
        opened.set_value(why);
        first = false;
        if (!why.empty()) break;
      }
      if (why.empty()) {
        playing_ = true;
        shared->lost = false;
        // The endpoint's event says when a period has been taken; the quit event ends it.
        const HANDLE waits[2] = {shared->quit, stream->ready};
        for (;;) {
          const DWORD w = WaitForMultipleObjects(2, waits, FALSE, 200);
          if (w == WAIT_OBJECT_0) break;
          if (!stream->Fill(*mixer)) break;
        }
        playing_ = false;
      }
      stream.reset();
      if (WaitForSingleObject(shared->quit, 0) == WAIT_OBJECT_0) break;
      shared->lost = true;
      if (WaitForSingleObject(shared->quit, static_cast<DWORD>(kRetry.count())) == WAIT_OBJECT_0)
        break;
    }
    if (mmcss) AvRevertMmThreadCharacteristics(mmcss);
  });
  const std::string why = result.get();
  if (!why.empty()) {
    thread_.join();
    shared_.reset();
    return Status::Fail(why);
  }
  return Status::Ok();
}

void WasapiOutput::Close() {
  if (!thread_.joinable()) return;
  SetEvent(shared_->quit);
  thread_.join();
  shared_.reset();
  playing_ = false;
}

void WasapiOutput::Watch() {
  if (!shared_) return;
  const bool lost = shared_->lost.load();
  if (lost && !said_lost_) {
    std::fprintf(stderr,
                 "palomir: the sound output was lost; the game goes on and is heard again as soon "
                 "as a sound device answers\n");
    said_lost_ = true;
  } else if (!lost && said_lost_ && playing_) {
    std::fprintf(stderr, "palomir: the sound output is back\n");
    said_lost_ = false;
  }
}

}  // namespace palomir
