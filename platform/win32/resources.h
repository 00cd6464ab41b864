// The numbers of the program's own resources (data/windows/palomir.rc.in), shared by the
// resource script and the code that loads them. Plain macros: windres reads this too.
#pragma once

// The game's icon (data/windows/palomir.ico). Explorer shows the exe's first icon.
#define PALOMIR_ICON 1
