#include "app/toolkit_options.h"

// X11, Wayland and the offscreen platform draw every widget as they are: nothing to choose.
void ChooseToolkitOptions() {}
