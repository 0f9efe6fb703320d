#pragma once

#include <obs-data.h>

// Texts from outside (a decoded pairing string, a dashboard answer) are read
// with jansson first, the library libobs itself reads JSON with, and with
// the same flags (duplicate member names refused), so the check accepts
// exactly what obs_data_create_from_json accepts. That reader logs jansson's
// error text for a text it refuses, and the text quotes the offending token,
// which for a pairing can be a piece of the plug-in key; the check logs
// nothing.
bool json_text_is_valid(const char *text);

// The text as obs_data, or null (nothing logged) when it is not a JSON
// object or array that the host reader accepts.
obs_data_t *json_data_from_text(const char *text);
