#pragma once

#include <string>

// A JSON string literal, quotes included.
std::string json_quote(const std::string &text);
// Standard alphabet, padded.
std::string base64_encode(const std::string &bytes);
// The string member of a JSON object text; false when the text is not a
// JSON object or the member is missing or not a string.
bool json_string_member(const std::string &json, const char *name, std::string *out);
bool json_is_object(const std::string &json);
