#pragma once

// True when the text is a JSON object or array that the host's JSON reader
// accepts. The reader logs the offending token of a text it rejects, which
// for a pairing can be a piece of the plug-in key, so texts are checked here
// first and rejected silently.
//
// Duplicate member names are not detected: the reader rejects them (logging
// only the member name).
bool json_text_is_valid(const char *text);
