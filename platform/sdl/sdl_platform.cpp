#include "platform/sdl/sdl_platform.h"

#include <SDL.h>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "language/tr.h"
#include "platform/arith.h"
#include "platform/espeak/espeak_voice.h"
#include "platform/sdl/close_signals.h"
#include "platform/sdl/icon_pixels.h"
#include "platform/sdl/audio_output.h"
#include "platform/sdl/keymap.h"
#include "platform/sdl/x11_fd.h"
#include "platform/speechd/speechd_voice.h"

namespace palomir {

namespace {

// 5.3 ms at 48 kHz: a desktop sound server's usual quantum, which SDL asks the server for
// (PipeWire's node latency; the target buffer of a PulseAudio stream).
constexpr int kPeriodFrames = 256;
constexpr int kWindowSystemAttempts = 8;  // about 0.6 s in all
// How often SDL pumps at least, for what it does on a clock of its own.
constexpr int64_t kOwnWorkEvery = 50000;  // microseconds

SDL_Window* Win(void* w) {
  return static_cast<SDL_Window*>(w);
}

// alsa-lib prints its own errors on stderr (nine lines when there is no sound card at
// all); the game says what went wrong in one line of its own. Its error handler is
// replaced by a silent one, through the same library SDL and the synthesizer load.
void Silent(const char*, int, const char*, int, const char*, ...) {}
void QuietenAlsa() {
  using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
  void* alsa = dlopen("libasound.so.2", RTLD_LAZY | RTLD_NOLOAD);
  if (!alsa) alsa = dlopen("libasound.so.2", RTLD_LAZY);
  if (!alsa) return;
  auto set = reinterpret_cast<int (*)(Handler)>(dlsym(alsa, "snd_lib_error_set_handler"));
  if (set) set(Silent);
  // Kept open: the handler must stay in place for as long as SDL may use the library.
}

double SecondsSinceMidnight() {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
}

}  // namespace

SdlPlatform::SdlPlatform(std::string program_folder, std::string speech_data,
                         std::string sounds_folder, bool system_speech)
    : MachineCore(std::move(program_folder), std::move(sounds_folder), SecondsSinceMidnight()),
      speech_data_(std::move(speech_data)),
      system_speech_(system_speech) {
  auto output = std::make_unique<SdlOutputDriver>();
  driver_ = output.get();
  UseOutput(std::move(output), kPeriodFrames);
  // Without a window system SDL quietly falls back to a video driver with no window and no
  // input: a game nobody could play or stop. That fallback is taken only when asked for.
  const bool driver_asked = SDL_getenv("SDL_VIDEODRIVER") != nullptr;
  const char* display = SDL_getenv("DISPLAY");
  const char* wayland = SDL_getenv("WAYLAND_DISPLAY");
  const bool no_display = (!display || !*display) && (!wayland || !*wayland);
  if (!driver_asked && no_display) {
    throw RuntimeError(Tr("no window system (DISPLAY is not set); start the game from a desktop"));
  }
  // Without XDG_RUNTIME_DIR the Wayland library cannot find a desktop named by a relative
  // WAYLAND_DISPLAY, and says so on stderr at every attempt.
  const char* runtime = SDL_getenv("XDG_RUNTIME_DIR");
  if (!driver_asked && (!display || !*display) && wayland[0] != '/' && (!runtime || !*runtime)) {
    throw RuntimeError(Fill(Tr("the Wayland desktop %s could not be reached (XDG_RUNTIME_DIR is "
                               "not set); start the game from a desktop"),
                            wayland));
  }
  QuietenAlsa();
  // Who is playing, for the desktop: the window's class / app id matches the desktop entry
  // (SDL 2.26 reads these from the environment, later versions from the app id hint), and
  // the sound stream is listed in a volume mixer as the game's. A player's own setting wins.
  setenv("SDL_VIDEO_X11_WMCLASS", "palomir", 0);
  setenv("SDL_VIDEO_WAYLAND_WMCLASS", "palomir", 0);
  SDL_SetHintWithPriority("SDL_APP_ID", "palomir", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_APP_NAME, "Palomir", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_APP_NAME, "Palomir", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, "Table hockey", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "Game", SDL_HINT_DEFAULT);
  // SDL's drivers play where the game's own PipeWire stream cannot (no PipeWire server, or
  // one without speakers, where SDL's pipewire driver would wait for ever): PulseAudio, then
  // the card itself; a driver that finds no server is passed over without a word. The thread
  // that pulls the mixer asks for real-time priority (from rtkit, for an ordinary user). A
  // player's own choice of driver or priority policy wins.
  SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "pulseaudio,alsa", SDL_HINT_DEFAULT);
  SDL_SetHintWithPriority(SDL_HINT_THREAD_FORCE_REALTIME_TIME_CRITICAL, "1", SDL_HINT_DEFAULT);
  // Ask SDL for the window system that is there, rather than let it try each one it knows
  // (and let their libraries complain on stderr about the ones that are not). Where a Wayland
  // desktop also offers X11 (XWayland), X11 is taken: input arrives the same either way, and
  // the game's wait on the X connection keeps ticks to the microsecond with fewer wake-ups.
  if (!driver_asked) SDL_SetHint(SDL_HINT_VIDEODRIVER, display && *display ? "x11" : "wayland");
  if (SDL_Init(SDL_INIT_EVENTS) != 0) {
    throw RuntimeError(std::string("the event system could not be started (") + SDL_GetError() +
                       ")");
  }
  close_signals_ = std::make_unique<CloseSignalWatch>();
  // Game controllers: a pad that cannot be had leaves the mouse and the keys, said nowhere.
  // Those there at the start are announced as plugged in, by SDL's own events.
  (void)SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER);
  // A busy X server now and then turns a new connection away; SDL would then take its
  // offscreen driver instead, without a word. Knock again a few times before giving up.
  std::string driver;
  for (int attempt = 1;; ++attempt) {
    const bool opened = SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    if (!opened && driver_asked) {
      const std::string why = SDL_GetError();
      SDL_Quit();
      throw RuntimeError("no window system could be opened (" + why + ")");
    }
    driver = opened && SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
    const bool fell_back = !opened || driver == "offscreen" || driver == "dummy";
    if (driver_asked || !fell_back) break;
    if (opened) SDL_QuitSubSystem(SDL_INIT_VIDEO);
    if (attempt == kWindowSystemAttempts) {
      SDL_Quit();
      if (display && *display) {
        throw RuntimeError(Fill(Tr("the window system at DISPLAY %s could not be reached"),
                                display));
      }
      throw RuntimeError(
          Fill(Tr("the Wayland desktop %s could not be reached"), wayland ? wayland : ""));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
  }
  // On X11 the card is drawn through the X server itself: SDL would otherwise make an OpenGL
  // renderer for it and, to do so, make the window again under another id. Wayland has no
  // such way and keeps SDL's own.
  if (driver == "x11") {
    SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0", SDL_HINT_DEFAULT);
  }
  // Resizable: a player who reads the card may make it larger.
  window_ = SDL_CreateWindow("Palomir", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 312, 213,
                             SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
  if (!window_) {
    std::string why = SDL_GetError();
    SDL_Quit();
    throw RuntimeError("cannot make the window: " + why);
  }
  // The game's icon, for the task switcher and the panel (made by tools/make_icon.py).
  std::vector<uint8_t> icon_rgba;
  for (const char* row : icon::kRows) {
    for (const char* p = row; *p; ++p) {
      const uint8_t* c = icon::kColours[std::strchr(icon::kLetters, *p) - icon::kLetters];
      icon_rgba.insert(icon_rgba.end(), c, c + 4);
    }
  }
  if (SDL_Surface* icon = SDL_CreateRGBSurfaceWithFormatFrom(
          icon_rgba.data(), icon::kSize, icon::kSize, 32, icon::kSize * 4, SDL_PIXELFORMAT_RGBA32)) {
    SDL_SetWindowIcon(Win(window_), icon);
    SDL_FreeSurface(icon);
  }
  SDL_StopTextInput();
  window_fd_ = X11ConnectionFd(Win(window_));
  hub().set_focused(false);  // input flows once the window system gives the window focus
}

SdlPlatform::~SdlPlatform() {
  close_signals_.reset();
  if (pad_) SDL_GameControllerClose(static_cast<SDL_GameController*>(pad_));
  const bool stuck = ShutdownOutput();
  if (window_) SDL_DestroyWindow(Win(window_));
  // A thread left inside the sound library may still hold SDL's audio: shutting SDL down
  // under it could hang the exit. The process ends, and the system takes the rest.
  if (!stuck) SDL_Quit();
}

Status SdlPlatform::CaptureMouse(bool on) {
  Touched();
  if (SDL_SetRelativeMouseMode(on ? SDL_TRUE : SDL_FALSE) == 0) return Status::Ok();
  return Status::Fail(std::string("the mouse could not be taken for the window (") +
                      SDL_GetError() + ")");
}

void SdlPlatform::RequestClose() {
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  SDL_PushEvent(&quit);
}

void SdlPlatform::CheckClose() {
  Pump();
  if (SDL_HasEvent(SDL_QUIT)) Closed();
}

Status SdlPlatform::MakeVoice(std::unique_ptr<Voice>& voice) {
  auto while_waiting = [this] { WhileSpeaking(); };
  VoiceOutput out;
  out.mixer = mixer();
  out.running = [this] { return OutputRunning(); };
  out.data_path = speech_data_;
  out.while_waiting = while_waiting;
  out.levels = voice_levels();
  if (system_speech_) {
    // Nothing here waits for speech-dispatcher: it is reached in the background, and
    // should it fail the game's own voice takes over.
    SpeechdSetup setup;
    setup.while_waiting = while_waiting;
    setup.own_voice = [this, out](std::unique_ptr<VoiceBackend>& own) {
      const Status s = CreateEspeakBackend(out, own);
      if (s.ok()) {
        // The mix now carries the voice: the player's speech volume is given there.
        own_voice_took_over_ = true;
        SetLevels(levels());
      }
      return s;
    };
    setup.poll = voice_poll();
    setup.tell = [this, said = false](const std::string& text) mutable {
      std::fprintf(stderr, "palomir: %s\n", text.c_str());
      // Said once, by the voice that takes over (the details are printed).
      if (!std::exchange(said, true)) {
        // TRANSLATORS: spoken when speech-dispatcher fails; short, no symbols.
        TellPlayer(Tr("Speech Dispatcher failed."));
      }
    };
    setup.levels = voice_levels();
    setup.language = language();
    for (char& c : setup.language) {
      if (c == '_') c = '-';  // speech-dispatcher writes pt-BR
    }
    voice = CreateSpeechdVoice(std::move(setup));
    return Status::Ok();
  }
  return CreateEspeakVoice(std::move(out), voice);
}

int32_t SdlPlatform::Handle() const {
  return static_cast<int32_t>(SDL_GetWindowID(Win(window_)));
}

void SdlPlatform::Reveal() {
  Touched();
  SDL_ShowWindow(Win(window_));
  // A Wayland desktop shows a window only once something is drawn in it.
  painter_.Paint(window_, card());
}

void SdlPlatform::DrawCard() {
  Touched();
  painter_.Paint(window_, card());
}

void SdlPlatform::Hide() {
  Touched();
  SDL_HideWindow(Win(window_));
}

void SdlPlatform::HandleEvent(const void* e_) {
  const SDL_Event& e = *static_cast<const SDL_Event*>(e_);
  switch (e.type) {
    case SDL_QUIT:
      Closed();
    case SDL_AUDIODEVICEREMOVED:
      if (!e.adevice.iscapture) driver_->Removed(e.adevice.which);
      break;
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) Closed();
      if (shown() && (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
                      e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)) {
        Touched();
        painter_.Paint(window_, card());
      }
      if (e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED) Deliver(RawInput::FocusGained());
      if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) Deliver(RawInput::FocusLost());
      break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
      if (e.key.repeat) break;  // the system's auto-repeat is not a press
      const uint8_t code = KeyCodeForScancode(e.key.keysym.scancode);
      if (code == 0) break;
      Deliver(e.type == SDL_KEYDOWN ? RawInput::KeyDown(code) : RawInput::KeyUp(code));
      break;
    }
    case SDL_MOUSEMOTION:
      Deliver(RawInput::MouseMove(e.motion.xrel, e.motion.yrel));
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      int button = -1;
      if (e.button.button == SDL_BUTTON_LEFT) button = 0;
      if (e.button.button == SDL_BUTTON_RIGHT) button = 1;
      if (e.button.button == SDL_BUTTON_MIDDLE) button = 2;
      if (button >= 0) Deliver(RawInput::Button(button, e.type == SDL_MOUSEBUTTONDOWN));
      break;
    }
    case SDL_CONTROLLERDEVICEADDED:
    case SDL_CONTROLLERDEVICEREMOVED:
    case SDL_CONTROLLERAXISMOTION:
    case SDL_CONTROLLERBUTTONDOWN:
    case SDL_CONTROLLERBUTTONUP:
      PadEvent(&e);
      break;
    default:
      break;
  }
}

void SdlPlatform::OpenFirstPad() {
  for (int i = 0; i < SDL_NumJoysticks() && !pad_; ++i) {
    if (!SDL_IsGameController(i)) continue;
    if (SDL_GameController* c = SDL_GameControllerOpen(i)) {
      pad_ = c;
      pad_id_ = SDL_JoystickInstanceID(SDL_GameControllerGetJoystick(c));
      stick_ = {SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX),
                SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY)};
      PadAdded();
      PadMoved(stick_);  // where it rests
    }
  }
}

void SdlPlatform::PadEvent(const void* e_) {
  const SDL_Event& e = *static_cast<const SDL_Event*>(e_);
  switch (e.type) {
    case SDL_CONTROLLERDEVICEADDED:
      if (!pad_) OpenFirstPad();
      return;
    case SDL_CONTROLLERDEVICEREMOVED:
      if (e.cdevice.which != pad_id_) return;
      SDL_GameControllerClose(static_cast<SDL_GameController*>(pad_));
      pad_ = nullptr;
      pad_id_ = -1;
      PadRemoved();
      OpenFirstPad();
      return;
    case SDL_CONTROLLERAXISMOTION:
      if (e.caxis.which != pad_id_) return;
      if (e.caxis.axis == SDL_CONTROLLER_AXIS_LEFTX) stick_.x = e.caxis.value;
      if (e.caxis.axis == SDL_CONTROLLER_AXIS_LEFTY) stick_.y = e.caxis.value;
      PadMoved(stick_);
      return;
    default:
      break;
  }
  if (e.cbutton.which != pad_id_) return;
  std::optional<PadButton> b;
  switch (e.cbutton.button) {
    case SDL_CONTROLLER_BUTTON_A: b = PadButton::kA; break;
    case SDL_CONTROLLER_BUTTON_B: b = PadButton::kB; break;
    case SDL_CONTROLLER_BUTTON_X: b = PadButton::kX; break;
    case SDL_CONTROLLER_BUTTON_Y: b = PadButton::kY; break;
    case SDL_CONTROLLER_BUTTON_BACK: b = PadButton::kBack; break;
    case SDL_CONTROLLER_BUTTON_START: b = PadButton::kStart; break;
    case SDL_CONTROLLER_BUTTON_LEFTSHOULDER: b = PadButton::kLeftShoulder; break;
    case SDL_CONTROLLER_BUTTON_RIGHTSHOULDER: b = PadButton::kRightShoulder; break;
    case SDL_CONTROLLER_BUTTON_DPAD_UP: b = PadButton::kUp; break;
    case SDL_CONTROLLER_BUTTON_DPAD_DOWN: b = PadButton::kDown; break;
    default: return;
  }
  PadPressed(*b, e.type == SDL_CONTROLLERBUTTONDOWN);
}

void SdlPlatform::DriveRumble(const Rumble& r) {
  if (pad_) {
    (void)SDL_GameControllerRumble(static_cast<SDL_GameController*>(pad_), r.low, r.high, r.ms);
  }
}

void SdlPlatform::Pump() {
  SDL_PumpEvents();
  last_pump_ = last_full_pump_ = Clock();
  // Sent and drained; a handler that paints says so after this.
  quiet_ = true;
}

void SdlPlatform::PumpSystem() {
  // Asking the window system costs a few system calls, and every tick pumps: it is asked at
  // most once a millisecond, which no player can tell.
  if (Clock() - last_pump_ >= 1000) Pump();
  // One event at a time: a handler that pumps again takes the next one itself, in order.
  SDL_Event e;
  while (SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0) HandleEvent(&e);
}

void SdlPlatform::WaitUntil(Micros until) {
  if (window_fd_ >= 0) {
    // On X11 the wait is one poll of the window system's connection, to the microsecond:
    // one wake-up per tick, and input wakes it at once. Before it, SDL pumps: to send what
    // is unsent and take in what was read. Where nothing has been since the last pump, the
    // pump is left out (each costs a few reads of the connection, most of what a tick costs
    // besides its wake-up), but SDL still pumps every so often for work of its own on a
    // clock (a focus it holds back a moment, the screen saver kept off).
    // A game controller is read only by a pump (its device is not on the connection): with
    // one, SDL pumps before every wait.
    if (!quiet_ || pad_ || Clock() - last_full_pump_ >= kOwnWorkEvery) Pump();
    if (SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT)) return;
    const Micros left = until - Clock();
    if (left <= 0) return;
    pollfd fds[2] = {{window_fd_, POLLIN, 0}, {close_signals_->fd(), POLLIN, 0}};
    const timespec wait{static_cast<time_t>(left / 1000000),
                        static_cast<long>(left % 1000000) * 1000};
    // Woken by the time alone, the window system has said nothing since the pump: the pump
    // that follows the wait need not ask it again, nor the next wait.
    if (ppoll(fds, 2, &wait, nullptr) == 0 && !pad_) {
      last_pump_ = Clock();
    } else {
      quiet_ = false;
    }
    return;
  }
  // Elsewhere SDL's wait counts whole milliseconds and wakes up to one late; it waits for the
  // whole ones, and a short sleep takes the rest, so ticks keep to their schedule.
  Micros left = until - Clock();
  if (left >= 1000 && SDL_WaitEventTimeout(nullptr, static_cast<int>(left / 1000)) == 1) return;
  left = until - Clock();
  if (left > 0 && left <= 2000 && !SDL_HasEvents(SDL_FIRSTEVENT, SDL_LASTEVENT)) {
    std::this_thread::sleep_for(std::chrono::microseconds(left));
  }
}

}  // namespace palomir
