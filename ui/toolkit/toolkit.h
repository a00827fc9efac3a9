#pragma once
// The window toolkit adapter: everything a window of the program needs.

#include "ui/toolkit/accessible.h"
#include "ui/toolkit/controls.h"
#include "ui/toolkit/form.h"
#include "ui/toolkit/services.h"
#include "ui/toolkit/twips.h"
