#include "app/run.h"

#include "audio/sound_bank.h"
#include "card/card.h"
#include "game/main_form.h"

namespace palomir {

int RunGame(Platform& platform, const std::function<void(MainForm&)>& made,
            const GuideSetup& guide) {
  ProgramObjects objects;
  MainForm form(platform, objects);
  if (made) made(form);
  return RunForm(platform, form, objects, guide);
}

int RunForm(Platform& platform, MainForm& form, ProgramObjects& objects,
            const GuideSetup& guide_setup) {
  // The window shows its card from the start, and keeps it in step with the game.
  CardWatcher card(platform.window(), form);
  card.Update();
  Guide guide(platform, form, objects, guide_setup);
  try {
    if (!form.Form_Load()) return 1;
    platform.window().RunMessageLoop();
  } catch (const WindowUnloaded&) {
    // However the window goes, everything is released as the player's N releases it.
    ReleaseAudioAndInput(objects);
    int32_t cancel = 0;
    form.Form_Unload(cancel);
  }
  return 0;
}

}  // namespace palomir
