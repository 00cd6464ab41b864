// The program: makes the window on a machine, lets it load, and runs the message loop
// until the window is unloaded. Returns the exit status.
//
// Threads: the game thread (the main thread). Both block for as long as the game is played.
#pragma once

#include <functional>

#include "help/guide.h"
#include "platform/platform.h"

namespace palomir {

class MainForm;
struct MatchSetup;
struct ProgramObjects;

// 0 when the window was unloaded (the player's N, the close box, a signal); 1 when no
// game could be played. `made` sees the window before it loads (tests listen there).
// `guide` is what the player's guide starts with (their settings).
// `match`: a match against a friend instead of the game against the computer.
int RunGame(Platform& platform, const std::function<void(MainForm&)>& made = {},
            const GuideSetup& guide = {}, const MatchSetup* match = nullptr);

// The same for a window already made on `platform` with `objects`.
int RunForm(Platform& platform, MainForm& form, ProgramObjects& objects,
            const GuideSetup& guide = {}, const MatchSetup* match = nullptr);

}  // namespace palomir
