#pragma once

// Everything a plugin needs from the host.
#include "bakkesmod/actor.h"
#include "bakkesmod/cvar.h"
#include "bakkesmod/cvar_manager.h"
#include "bakkesmod/game.h"
#include "bakkesmod/plugin.h"
#include "bakkesmod/unreal_string.h"
