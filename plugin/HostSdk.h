#pragma once

// The host SDK's declarations, named here and nowhere else in the plugin: a
// build against an SDK whose headers are named otherwise changes only this.
#include <bakkesmod/sdk.h>
