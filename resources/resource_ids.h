#pragma once

// The ids of the executable's own resources, shared by the resource scripts and the code that loads them.
#define VORN_SKIN_RESOURCE 101
#define VORN_ICON_RESOURCE 102
