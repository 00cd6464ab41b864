// The real machine on Windows: the machine's core (platform/core/machine.h) with a Win32
// window whose card is drawn with GDI, the event pump and its wait on the game thread (a
// high-resolution waitable timer, waited for together with the input with
// MsgWaitForMultipleObjectsEx), DirectInput 8 for the mouse (buffered, exclusive, foreground)
// and the keyboard (non-exclusive, so the screen reader's keys still reach it), WASAPI for the
// sound and SAPI 5 or the screen reader for the voice. Game thread only, except where a
// function says otherwise.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/machine.h"
#include "platform/win32/wasapi_output.h"
#include "platform/win32/xinput_pads.h"

namespace palomir {

namespace win32 {
class ComApartment;
}

class Win32Platform final : public MachineCore {
 public:
  // Makes the window, hidden, and opens DirectInput. Throws RuntimeError when it cannot.
  // On the thread that is to be the game thread: the window and COM are that thread's.
  // `system_speech`: speak through the player's screen reader where it can be reached.
  explicit Win32Platform(std::string program_folder, std::string speech_data = "",
                         std::string sounds_folder = "", bool system_speech = false);
  ~Win32Platform() override;

  int32_t Handle() const override;
  // Any thread: the window is asked to close as the close box does (Ctrl+C in the console).
  void RequestClose() override;

  // Told when Windows ends the session (log-off, shutdown) while the game runs: the process
  // ends as soon as the window has answered, so what must be kept is written out here. Told
  // on the game thread, inside the pump.
  void set_session_end(std::function<void()> end) { session_end_ = std::move(end); }
  // Windows' own sound settings, where a player turns a device on.
  std::string NoSoundOutputHelp(const std::string& reason) const override;

 private:
  struct Native;
  class Labels final : public KeyLabels {
   public:
    // The key at the scan code `code` on the thread's layout, as it types without Shift.
    std::string LabelAt(uint8_t code) const override;
  };
  Labels labels_;
  // What the keys of the player's keyboard layout print, as Windows has it for the game
  // thread's layout now.
  const KeyLabels& system_key_labels() const override { return labels_; }
  // The thread's messages, then DirectInput's records. The wait blocks in
  // MsgWaitForMultipleObjectsEx: the waitable timer, DirectInput's event, the messages.
  void PumpSystem() override;
  void WaitUntil(Micros until) override;
  // The thread's messages, dispatched so that the close box is seen.
  void CheckClose() override;
  // The window, brought to the front; its card is painted with GDI as WM_PAINT asks.
  void Reveal() override;
  void DrawCard() override;
  void Hide() override;
  // The mouse is DirectInput's, exclusive while the window is in front: the pointer is
  // hidden and held there by the system itself.
  Status CaptureMouse(bool) override { return Status::Ok(); }
  // SAPI 5's voice or the screen reader; blocks while SAPI finds its voice.
  Status MakeVoice(std::unique_ptr<Voice>& voice) override;
  void ReadInput();
  // XInput's first pad's motors (a write to the device).
  void DriveRumble(const Rumble& r) override { pads_.Drive(r, Clock()); }
  static intptr_t __stdcall Proc(void* hwnd, unsigned message, uintptr_t w, intptr_t l);
  intptr_t OnMessage(unsigned message, uintptr_t w, intptr_t l);
  void Paint();

  bool system_speech_ = false;
  // The game thread's COM (a single-threaded apartment, as a window's thread has), set up
  // before the window's objects are made and let go after they are released.
  std::unique_ptr<win32::ComApartment> com_;
  std::unique_ptr<Native> native_;
  bool close_asked_ = false;
  XInputPads pads_;
  std::function<void()> session_end_;
};

}  // namespace palomir
