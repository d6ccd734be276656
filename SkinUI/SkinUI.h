// The skinned-window toolkit: everything a window of the program needs.
#pragma once

#include "SkinUI/skin_builder.h"
#include "SkinUI/skin_controls.h"
#include "SkinUI/skin_defs.h"
#include "SkinUI/skin_manager.h"
#include "SkinUI/skin_settings.h"
#include "SkinUI/skin_wait.h"
#include "SkinUI/skin_window.h"
