#pragma once

#include <obs-module.h>

// Build identifier, logged at load and compared with the dashboard's latest.
#define PLUGIN_VERSION "obs-voice-dev-36805275332"

// libobs API version 31.1.1 of the headers the module is written against.
#define PLUGIN_API_VERSION 0x1F010001u

// Display strings for the filter; the key itself when it has no translation.
// Declared by obs-module.h: const char *obs_module_text(const char *key);
