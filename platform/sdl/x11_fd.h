// The X11 connection behind a window, apart from everything else: X's headers define
// names (Status, Window) that clash with the game's own. Game thread, once the window is
// made; asks SDL only, and does not block.
#pragma once

struct SDL_Window;

namespace palomir {

// The file descriptor of the window system's connection, or -1 when it is not X11.
int X11ConnectionFd(SDL_Window* window);

}  // namespace palomir
