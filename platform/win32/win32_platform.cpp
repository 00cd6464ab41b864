#include "platform/win32/win32_platform.h"

#define DIRECTINPUT_VERSION 0x0800
#include <dinput.h>
#include <windows.h>
// The game's own names, which windows.h would turn into its wide functions' names.
#undef SetCurrentDirectory
#undef CreateEvent

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/arith.h"
#include "platform/mixer/mixer_buffer.h"
#include "platform/win32/com.h"
#include "platform/win32/wide.h"
#include "platform/win32/sapi_voice.h"
#include "platform/win32/wav.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace palomir {

namespace {

constexpr wchar_t kClass[] = L"Palomir";
constexpr DWORD kInputRecords = 64;

double SecondsSinceMidnight() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return t.wHour * 3600.0 + t.wMinute * 60.0 + t.wSecond + t.wMilliseconds / 1000.0;
}

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

double Share(CardLine::Size size) {
  switch (size) {
    case CardLine::Size::kTitle: return 0.17;
    case CardLine::Size::kLarge: return 0.14;
    case CardLine::Size::kSmall: break;
  }
  return 0.062;
}

}  // namespace

struct Win32Platform::Native {
  HWND hwnd = nullptr;
  HANDLE timer = nullptr;
  HANDLE input = nullptr;  // signalled by DirectInput when a device has records
  IDirectInput8W* di = nullptr;
  IDirectInputDevice8W* mouse = nullptr;
  IDirectInputDevice8W* keyboard = nullptr;
  bool active = false;

  ~Native() {
    for (IDirectInputDevice8W* d : {mouse, keyboard}) {
      if (d) {
        d->Unacquire();
        d->Release();
      }
    }
    if (di) di->Release();
    if (hwnd) DestroyWindow(hwnd);
    if (timer) CloseHandle(timer);
    if (input) CloseHandle(input);
  }

  void Acquire() {
    for (IDirectInputDevice8W* d : {mouse, keyboard}) {
      if (d) d->Acquire();
    }
  }
};

// The sound device owns the sound output: while it exists the mixer is heard.
class Win32Platform::Sound final : public SoundDevice {
 public:
  explicit Sound(Win32Platform& p) : p_(p) {}
  ~Sound() override {
    p_.output_->Close();
    p_.sound_open_ = false;
  }
  Status SetCooperativeLevel(int32_t, int32_t level) override {
    if (level < 1 || level > 3) return Status::Fail("SetCooperativeLevel: bad level");
    return Status::Ok();
  }
  Status CreateSoundBufferFromFile(const std::string& path, const BufferDesc&,
                                   std::unique_ptr<SoundBuffer>& buffer) override {
    auto pcm = std::make_shared<Pcm>();
    Status s = LoadWavFile(path, *pcm);
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (s.ok()) {
      auto b = MixerSoundBuffer::Open(p_.mixer_, std::move(pcm));
      if (b && name == "background.wav") {
        p_.mixer_->SetGroup(b->channel(), Mixer::Group::kBackground);
      }
      if (b) {
        buffer = std::move(b);
      } else {
        s = Status::Fail("could not be given a mixer channel");
      }
    }
    if (p_.recorder_) p_.recorder_->Outcome("file " + name, s);
    return s;
  }

 private:
  Win32Platform& p_;
};

Win32Platform::Win32Platform(std::string program_folder, std::string /*speech_data*/,
                             std::string sounds_folder, bool system_speech)
    : folder_(std::move(program_folder)),
      sounds_(std::move(sounds_folder)),
      system_speech_(system_speech),
      com_(std::make_unique<win32::ComApartment>(COINIT_APARTMENTTHREADED)),
      native_(std::make_unique<Native>()),
      start_(std::chrono::steady_clock::now()),
      day_start_(SecondsSinceMidnight()),
      timers_([this] { return Now(); }),
      hub_(
          [this](bool) {
            // The mouse is DirectInput's, exclusive while the window is in front: the pointer
            // is hidden and held there by the system itself.
            const Status s = Status::Ok();
            if (recorder_) recorder_->Capture(s);
            return s;
          },
          [this] { return Now(); }) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = reinterpret_cast<WNDPROC>(&Win32Platform::Proc);
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconW(instance, L"PALOMIR");
  wc.lpszClassName = kClass;
  RegisterClassExW(&wc);
  RECT r{0, 0, 312, 213};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  native_->hwnd = CreateWindowExW(0, kClass, L"MainForm", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr,
                                  nullptr, instance, this);
  if (!native_->hwnd) {
    throw RuntimeError("cannot make the window (error " + std::to_string(GetLastError()) + ")");
  }
  // The timers' wait: to a tenth of a millisecond where Windows offers it (10 version 1803
  // on), the usual waitable timer elsewhere.
  native_->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
  if (!native_->timer) native_->timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  native_->input = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HRESULT hr = DirectInput8Create(instance, DIRECTINPUT_VERSION, IID_IDirectInput8W,
                                  reinterpret_cast<void**>(&native_->di), nullptr);
  if (FAILED(hr)) throw RuntimeError("DirectInput could not be started (" + Hex(hr) + ")");
  auto device = [&](REFGUID guid, const DIDATAFORMAT* format, DWORD level,
                    IDirectInputDevice8W*& d, const char* what) {
    DIPROPDWORD size{};
    size.diph.dwSize = sizeof(size);
    size.diph.dwHeaderSize = sizeof(size.diph);
    size.diph.dwHow = DIPH_DEVICE;
    size.dwData = kInputRecords;
    hr = native_->di->CreateDevice(guid, &d, nullptr);
    if (SUCCEEDED(hr)) hr = d->SetDataFormat(format);
    if (SUCCEEDED(hr)) hr = d->SetCooperativeLevel(native_->hwnd, level);
    if (SUCCEEDED(hr)) hr = d->SetProperty(DIPROP_BUFFERSIZE, &size.diph);
    if (SUCCEEDED(hr)) hr = d->SetEventNotification(native_->input);
    if (FAILED(hr)) throw RuntimeError(std::string("the ") + what + " could not be opened (" + Hex(hr) + ")");
  };
  device(GUID_SysMouse, &c_dfDIMouse, DISCL_EXCLUSIVE | DISCL_FOREGROUND, native_->mouse, "mouse");
  device(GUID_SysKeyboard, &c_dfDIKeyboard, DISCL_NONEXCLUSIVE | DISCL_FOREGROUND,
         native_->keyboard, "keyboard");
  hub_.set_focused(false);  // input flows once the window is in front
}

Win32Platform::~Win32Platform() {
  output_->Close();
  native_.reset();  // its COM objects released before the apartment is let go
}

Micros Win32Platform::Now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void Win32Platform::RequestClose() {
  if (native_ && native_->hwnd) PostMessageW(native_->hwnd, WM_CLOSE, 0, 0);
}

namespace {
class HeardVoice final : public Voice {
 public:
  HeardVoice(Recorder& recorder, std::unique_ptr<Voice> inner)
      : recorder_(recorder), inner_(std::move(inner)) {}
  Status Speak(const std::string& text, int32_t flags) override {
    Status s = inner_->Speak(text, flags);
    if (s.ok() && flags == kSpeakWait) recorder_.Heard();
    return s;
  }

 private:
  Recorder& recorder_;
  std::unique_ptr<Voice> inner_;
};
}  // namespace

void Win32Platform::set_trace(CallLog* trace) {
  trace_ = trace;
  if (trace_) LogTimers(*trace_, timers_);
}

Status Win32Platform::CreateVoice(std::unique_ptr<Voice>& voice) {
  SapiSetup setup;
  setup.mixer = mixer_;
  setup.running = [output = output_.get()] { return output->running(); };
  setup.while_waiting = [this] {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    if (close_asked_) Closed();
    output_->Watch();
  };
  setup.levels = voice_levels_;
  setup.system = system_speech_;
  setup.language = language_;
  setup.window = native_->hwnd;
  std::unique_ptr<Voice> made;
  const Status s = CreateSapiVoice(std::move(setup), made);
  if (trace_) trace_->Record({"platform", "CreateVoice", 0, !s.ok()});
  if (recorder_) recorder_->Outcome("voice", s);
  if (!s.ok()) return s;
  if (recorder_) made = std::make_unique<HeardVoice>(*recorder_, std::move(made));
  if (trace_) made = LoggedVoice(*trace_, std::move(made));
  voice = std::move(made);
  return s;
}

Status Win32Platform::CreateDxRoot(std::unique_ptr<DxRoot>& root) {
  if (trace_) trace_->Record({"platform", "CreateDxRoot", 0, false});
  root = std::make_unique<HubDxRoot>(
      hub_, [this](const std::string& name, std::unique_ptr<SoundDevice>& sound) {
        Status s = Status::Ok();
        if (!name.empty()) {
          s = Status::Fail("there is no sound output called " + name);
        } else if (sound_open_) {
          s = Status::Fail("the sound output is in use");
        } else {
          s = output_->Open();
        }
        if (s.ok()) {
          sound_open_ = true;
          sound = std::make_unique<Sound>(*this);
        }
        if (recorder_) recorder_->Outcome("sound", s);
        return s;
      });
  if (trace_) root = LoggedDxRoot(*trace_, std::move(root));
  return Status::Ok();
}

void Win32Platform::SetLevels(const Levels& levels) {
  levels_ = levels;
  mixer_->SetLevels(GainOf(levels.sound_volume), GainOf(levels.background_volume),
                    GainOf(levels.speech_volume));
  voice_levels_->rate.store(levels.speech_rate);
  voice_levels_->volume_db.store(levels.speech_volume);
}

void Win32Platform::HoldGame(bool on) {
  timers_.Hold(on);
  mixer_->Hold(on);
}

bool Win32Platform::GuideStepDue(Micros due) {
  if (Now() < due) return false;
  if (recorder_) recorder_->Guide();
  return true;
}

int32_t Win32Platform::Handle() const {
  // Window handles keep to 32 bits, so that 32- and 64-bit programs can share them.
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(native_->hwnd));
}

Status Win32Platform::Show() {
  if (trace_) trace_->Record({"window", "Show", 0, false});
  ShowWindow(native_->hwnd, SW_SHOWNORMAL);
  SetForegroundWindow(native_->hwnd);
  shown_ = true;
  InvalidateRect(native_->hwnd, nullptr, TRUE);
  return Status::Ok();
}

void Win32Platform::ShowCard(const std::vector<CardLine>& lines) {
  card_ = lines;
  if (shown_) InvalidateRect(native_->hwnd, nullptr, TRUE);
}

void Win32Platform::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(native_->hwnd, &ps);
  RECT client;
  GetClientRect(native_->hwnd, &client);
  HBRUSH back = CreateSolidBrush(RGB(16, 16, 16));
  FillRect(dc, &client, back);
  DeleteObject(back);
  SetBkMode(dc, TRANSPARENT);
  const int width = client.right, height = client.bottom;
  double total = 0;
  for (const CardLine& line : card_) total += Share(line.size) * 1.25;
  int y = static_cast<int>(height * (1.0 - total) / 2);
  for (const CardLine& line : card_) {
    const int room = static_cast<int>(height * Share(line.size) * 1.25);
    if (!line.text.empty()) {
      const std::wstring text = win32::Wide(line.text);
      int points = std::max(6, static_cast<int>(height * Share(line.size)));
      for (;;) {
        HFONT font = CreateFontW(-points, 0, 0, 0,
                                 line.size == CardLine::Size::kTitle ? FW_BOLD : FW_NORMAL, 0, 0,
                                 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
        HGDIOBJ was = SelectObject(dc, font);
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        // Narrow windows: a line too wide for the card is written smaller.
        if (size.cx > width * 0.94 && points > 6) {
          SelectObject(dc, was);
          DeleteObject(font);
          points = std::max(6, static_cast<int>(points * width * 0.94 / size.cx));
          if (points > 6) continue;
          font = CreateFontW(-points, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH, L"Segoe UI");
          was = SelectObject(dc, font);
        }
        SetTextColor(dc, line.size == CardLine::Size::kTitle ? RGB(255, 214, 0) : RGB(255, 255, 255));
        RECT at{0, y, width, y + room};
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &at,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, was);
        DeleteObject(font);
        break;
      }
    }
    y += room;
  }
  EndPaint(native_->hwnd, &ps);
}

Status Win32Platform::SetCurrentDirectory(const std::string& folder) {
  const bool failed = !::SetCurrentDirectoryW(win32::Wide(folder).c_str());
  if (trace_) trace_->Record({"window", "SetCurrentDirectory", 0, failed});
  if (failed) return Status::Fail("cannot change to " + folder);
  return Status::Ok();
}

void Win32Platform::Closed() {
  if (recorder_) recorder_->Close();
  throw WindowUnloaded{};
}

void Win32Platform::Unload() {
  if (trace_) trace_->Record({"window", "Unload", 0, false});
  ShowWindow(native_->hwnd, SW_HIDE);
  throw WindowUnloaded{};
}

intptr_t __stdcall Win32Platform::Proc(void* hwnd, unsigned message, uintptr_t w, intptr_t l) {
  HWND h = static_cast<HWND>(hwnd);
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32Platform*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  if (self && self->native_ && self->native_->hwnd == h) return self->OnMessage(message, w, l);
  return DefWindowProcW(h, message, w, l);
}

// Never throws: Windows calls it. What the game must do is noted and done by the pump.
intptr_t Win32Platform::OnMessage(unsigned message, uintptr_t w, intptr_t l) {
  HWND h = native_->hwnd;
  switch (message) {
    case WM_CLOSE:
      close_asked_ = true;
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // Log-off or shutdown: the process ends once this returns.
      if (w) {
        if (recorder_) recorder_->Close();
        if (session_end_) session_end_();
      }
      return 0;
    case WM_ACTIVATE: {
      const bool active = LOWORD(w) != WA_INACTIVE;
      if (active != native_->active) {
        native_->active = active;
        if (active) native_->Acquire();
        pending_focus_.push_back(active);
      }
      return 0;
    }
    case WM_PAINT:
      Paint();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      InvalidateRect(h, nullptr, FALSE);
      break;
    default:
      break;
  }
  return DefWindowProcW(h, message, w, l);
}

void Win32Platform::ReadInput() {
  if (!native_->active) return;
  DIDEVICEOBJECTDATA records[kInputRecords];
  // The keyboard first: the order between the two devices within one pump is not kept by
  // DirectInput either.
  for (;;) {
    DWORD n = kInputRecords;
    HRESULT hr = native_->keyboard->GetDeviceData(sizeof(records[0]), records, &n, 0);
    if (hr == DIERR_INPUTLOST || hr == DIERR_NOTACQUIRED) {
      native_->keyboard->Acquire();
      break;
    }
    if (FAILED(hr) || n == 0) break;
    for (DWORD i = 0; i < n; ++i) {
      const int32_t code = static_cast<int32_t>(records[i].dwOfs & 0xFF);
      if (code == 0) continue;
      Deliver((records[i].dwData & 0x80) ? RawInput::KeyDown(code) : RawInput::KeyUp(code));
    }
  }
  for (;;) {
    DWORD n = kInputRecords;
    HRESULT hr = native_->mouse->GetDeviceData(sizeof(records[0]), records, &n, 0);
    if (hr == DIERR_INPUTLOST || hr == DIERR_NOTACQUIRED) {
      native_->mouse->Acquire();
      break;
    }
    if (FAILED(hr) || n == 0) break;
    for (DWORD i = 0; i < n; ++i) {
      const DIDEVICEOBJECTDATA& r = records[i];
      const auto data = static_cast<int32_t>(r.dwData);
      if (r.dwOfs == DIMOFS_X || r.dwOfs == DIMOFS_Y) {
        // One movement comes as an X and a Y record with the same sequence number.
        int32_t dx = r.dwOfs == DIMOFS_X ? data : 0, dy = r.dwOfs == DIMOFS_Y ? data : 0;
        if (r.dwOfs == DIMOFS_X && i + 1 < n && records[i + 1].dwOfs == DIMOFS_Y &&
            records[i + 1].dwSequence == r.dwSequence) {
          dy = static_cast<int32_t>(records[++i].dwData);
        }
        Deliver(RawInput::MouseMove(dx, dy));
      } else if (r.dwOfs >= DIMOFS_BUTTON0 && r.dwOfs <= DIMOFS_BUTTON2) {
        Deliver(RawInput::Button(static_cast<int32_t>(r.dwOfs - DIMOFS_BUTTON0), (data & 0x80) != 0));
      }
    }
  }
}

void Win32Platform::Deliver(const RawInput& input) {
  if (recorder_) recorder_->Input(input);
  hub_.Deliver(input);
}

void Win32Platform::DoEvents() {
  if (recorder_) recorder_->Pump();
  output_->Watch();
  MSG m;
  for (;;) {
    // Windows also calls the window inside PeekMessage, for messages sent rather than posted
    // (activation, the close box): what they noted is taken even when nothing was posted.
    const bool posted = PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE);
    if (posted) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    // Handled one at a time, in order, outside Windows' call into the window.
    while (!pending_focus_.empty()) {
      const bool active = pending_focus_.front();
      pending_focus_.erase(pending_focus_.begin());
      Deliver(active ? RawInput::FocusGained() : RawInput::FocusLost());
    }
    if (close_asked_) Closed();
    if (!posted) break;
  }
  ReadInput();
  timers_.RunDue();
  Pumped();
  if (recorder_) recorder_->Done();
}

void Win32Platform::WaitForEvents(double max_seconds) {
  Micros until = Now() + static_cast<Micros>(std::max(0.0, max_seconds) * 1e6);
  if (auto due = timers_.NextDue()) until = std::min(until, *due);
  const Micros left = until - Now();
  if (left <= 0) return;
  if (GetQueueStatus(QS_ALLINPUT) != 0) return;
  LARGE_INTEGER when;
  when.QuadPart = -static_cast<LONGLONG>(left) * 10;  // relative, in 100 ns
  SetWaitableTimer(native_->timer, &when, 0, nullptr, nullptr, FALSE);
  const HANDLE waits[2] = {native_->timer, native_->input};
  MsgWaitForMultipleObjectsEx(2, waits, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  CancelWaitableTimer(native_->timer);
}

float Win32Platform::TimeOfDay() const {
  auto t = static_cast<float>(std::fmod(day_start_ + static_cast<double>(Now()) / 1e6, 86400.0));
  if (t >= 86400.0f) t = 0;
  if (recorder_) recorder_->Clock(t);
  return t;
}

}  // namespace palomir
