#include "app/run.h"

#include "audio/sound_bank.h"
#include "card/card.h"
#include "game/main_form.h"
#include "match/match_play.h"

namespace palomir {

int RunGame(Platform& platform, const std::function<void(MainForm&)>& made,
            const GuideSetup& guide, const MatchSetup* match) {
  ProgramObjects objects;
  MainForm form(platform, objects);
  if (made) made(form);
  return RunForm(platform, form, objects, guide, match);
}

int RunForm(Platform& platform, MainForm& form, ProgramObjects& objects,
            const GuideSetup& guide_setup, const MatchSetup* match) {
  // The window shows its card from the start, and keeps it in step with the game.
  CardWatcher card(platform.window(), form);
  card.Update();
  Guide guide(platform, form, objects, guide_setup);
  try {
    // No game against the computer starts while a match is to be played.
    struct Waiting final : MatchHooks {
      void Input() override {}
    } waiting;
    form.match = match ? &waiting : nullptr;
    const bool loaded = form.Form_Load();
    form.match = nullptr;
    if (!loaded) return 1;
    if (match) {
      const int status = PlayMatch(platform, form, objects, *match);
      ReleaseAudioAndInput(objects);
      int32_t cancel = 0;
      form.Form_Unload(cancel);
      return status;
    }
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
