#include "platform/sdl/x11_fd.h"

#include <SDL.h>
#include <SDL_syswm.h>

namespace palomir {

int X11ConnectionFd(SDL_Window* window) {
#if defined(SDL_VIDEO_DRIVER_X11)
  SDL_SysWMinfo wm;
  SDL_VERSION(&wm.version);
  if (SDL_GetWindowWMInfo(window, &wm) && wm.subsystem == SDL_SYSWM_X11) {
    return ConnectionNumber(wm.info.x11.display);
  }
#else
  (void)window;
#endif
  return -1;
}

}  // namespace palomir
