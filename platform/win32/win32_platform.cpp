#include "platform/win32/win32_platform.h"

#define DIRECTINPUT_VERSION 0x0800
#include <dinput.h>
#include <uiautomationcore.h>
#include <windows.h>
// The game's own names, which windows.h would turn into its wide functions' names.
#undef SetCurrentDirectory
#undef CreateEvent

#include <algorithm>
#include <cstdio>

#include "language/tr.h"
#include "platform/arith.h"
#include "platform/win32/com.h"
#include "platform/win32/resources.h"
#include "platform/win32/wide.h"
#include "platform/win32/sapi_voice.h"
#include "platform/win32/uia_provider.h"

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
  IRawElementProviderSimple* provider = nullptr;  // the window's UI Automation element
  bool active = false;

  ~Native() {
    if (provider) {
      win32::WithdrawProvider(hwnd, provider);
      provider->Release();
    }
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

Win32Platform::Win32Platform(std::string program_folder, std::string /*speech_data*/,
                             std::string sounds_folder, bool system_speech)
    : MachineCore(std::move(program_folder), std::move(sounds_folder), SecondsSinceMidnight()),
      system_speech_(system_speech),
      com_(std::make_unique<win32::ComApartment>(COINIT_APARTMENTTHREADED)),
      native_(std::make_unique<Native>()) {
  UseOutput(std::make_unique<WasapiDriver>(), 0);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = reinterpret_cast<WNDPROC>(&Win32Platform::Proc);
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  // The game's icon from the exe's resources, at the sizes Windows asks for: the big one for
  // Alt+Tab, the small one for the caption and the taskbar.
  wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(PALOMIR_ICON), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(PALOMIR_ICON), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  wc.lpszClassName = kClass;
  RegisterClassExW(&wc);
  RECT r{0, 0, 312, 213};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  native_->hwnd = CreateWindowExW(0, kClass, L"Palomir", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr,
                                  nullptr, instance, this);
  if (!native_->hwnd) {
    throw RuntimeError("cannot make the window (error " + std::to_string(GetLastError()) + ")");
  }
  native_->provider = win32::MakeWindowProvider(native_->hwnd, L"Palomir");
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
  hub().set_focused(false);  // input flows once the window is in front
}

Win32Platform::~Win32Platform() {
  ShutdownOutput();
  native_.reset();  // its COM objects released before the apartment is let go
}

std::string Win32Platform::NoSoundOutputHelp(const std::string&) const {
  return Tr("; is a sound device connected and turned on in Windows' sound settings?");
}

void Win32Platform::RequestClose() {
  if (native_ && native_->hwnd) PostMessageW(native_->hwnd, WM_CLOSE, 0, 0);
}

void Win32Platform::CheckClose() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  if (close_asked_) Closed();
}

Status Win32Platform::MakeVoice(std::unique_ptr<Voice>& voice) {
  SapiSetup setup;
  setup.mixer = mixer();
  setup.running = [this] { return OutputRunning(); };
  setup.while_waiting = [this] { WhileSpeaking(); };
  setup.levels = voice_levels();
  setup.system = system_speech_;
  setup.language = language();
  setup.provider = native_->provider;
  setup.poll = voice_poll();
  return CreateSapiVoice(std::move(setup), voice);
}

std::string Win32Platform::Labels::LabelAt(uint8_t code) const {
  // The scan codes the game names keys by are DirectInput's: an extended key (E0) has the
  // high bit; none of those prints anything.
  if (code == 0 || code >= 0x80) return "";
  HKL layout = GetKeyboardLayout(0);
  const UINT vk = MapVirtualKeyExW(code, MAPVK_VSC_TO_VK_EX, layout);
  if (vk == 0) return "";
  // No key held, and Windows' dead-key state left as it is (flag 4): only the label is read.
  const BYTE none[256] = {};
  wchar_t typed[8] = {};
  const int n = ToUnicodeEx(vk, code, none, typed, 8, 4, layout);
  std::wstring label;
  if (n != 0) {
    // A dead key (n < 0) gives the accent it puts on the next letter.
    label.assign(typed, static_cast<size_t>(n < 0 ? 1 : n));
  } else {
    // What the layout's table has for the key, when it gives no text to type.
    const UINT ch = MapVirtualKeyExW(vk, MAPVK_VK_TO_CHAR, layout) & 0x7FFFFFFFu;
    if (ch != 0) label.assign(1, static_cast<wchar_t>(ch));
  }
  if (label.empty() || static_cast<unsigned>(label[0]) < 0x20) return "";
  return win32::Utf8(label);
}

int32_t Win32Platform::Handle() const {
  // Window handles keep to 32 bits, so that 32- and 64-bit programs can share them.
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(native_->hwnd));
}

void Win32Platform::Reveal() {
  ShowWindow(native_->hwnd, SW_SHOWNORMAL);
  SetForegroundWindow(native_->hwnd);
  InvalidateRect(native_->hwnd, nullptr, TRUE);
}

void Win32Platform::DrawCard() {
  InvalidateRect(native_->hwnd, nullptr, TRUE);
}

void Win32Platform::Hide() {
  ShowWindow(native_->hwnd, SW_HIDE);
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
  for (const CardLine& line : card()) total += Share(line.size) * 1.25;
  int y = static_cast<int>(height * (1.0 - total) / 2);
  for (const CardLine& line : card()) {
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
        if (recorder()) recorder()->Close();
        if (session_end_) session_end_();
      }
      return 0;
    case WM_ACTIVATE: {
      const bool active = LOWORD(w) != WA_INACTIVE;
      if (active != native_->active) {
        native_->active = active;
        if (active) native_->Acquire();
        Input(active ? RawInput::FocusGained() : RawInput::FocusLost());
      }
      return 0;
    }
    case WM_PAINT:
      Paint();
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_GETOBJECT: {
      // Narrator and other UI Automation clients ask the window for its element.
      LRESULT served = 0;
      if (win32::ServeProvider(h, w, l, native_->provider, served)) return served;
      break;
    }
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

void Win32Platform::PumpSystem() {
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
    DeliverQueued();
    if (close_asked_) Closed();
    if (!posted) break;
  }
  ReadInput();
  pads_.Poll(Clock(), {[this](bool added) { added ? PadAdded() : PadRemoved(); },
                       [this](PadStick s) { PadMoved(s); },
                       [this](PadButton b, bool down) { PadPressed(b, down); }});
}

void Win32Platform::WaitUntil(Micros until) {
  const Micros left = until - Clock();
  if (left <= 0) return;
  if (GetQueueStatus(QS_ALLINPUT) != 0) return;
  LARGE_INTEGER when;
  when.QuadPart = -static_cast<LONGLONG>(left) * 10;  // relative, in 100 ns
  SetWaitableTimer(native_->timer, &when, 0, nullptr, nullptr, FALSE);
  const HANDLE waits[2] = {native_->timer, native_->input};
  MsgWaitForMultipleObjectsEx(2, waits, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  CancelWaitableTimer(native_->timer);
}

}  // namespace palomir
