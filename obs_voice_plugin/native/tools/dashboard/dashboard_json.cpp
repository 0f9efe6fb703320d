#include "dashboard_json.h"

#include <cstdio>

#include <obs-data.h>

std::string json_quote(const std::string &text)
{
	std::string out = "\"";
	for (unsigned char c : text) {
		switch (c) {
		case '"':
			out += "\\\"";
			break;
		case '\\':
			out += "\\\\";
			break;
		case '\n':
			out += "\\n";
			break;
		case '\r':
			out += "\\r";
			break;
		case '\t':
			out += "\\t";
			break;
		default:
			if (c < 0x20) {
				char escaped[8];
				snprintf(escaped, sizeof(escaped), "\\u%04x", c);
				out += escaped;
			} else {
				out += (char)c;
			}
		}
	}
	return out + "\"";
}

std::string base64_encode(const std::string &bytes)
{
	static const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	std::string out;
	size_t i = 0;
	for (; i + 2 < bytes.size(); i += 3) {
		uint32_t group = (uint8_t)bytes[i] << 16 | (uint8_t)bytes[i + 1] << 8 | (uint8_t)bytes[i + 2];
		for (int shift = 18; shift >= 0; shift -= 6)
			out += ALPHABET[(group >> shift) & 63];
	}
	size_t rest = bytes.size() - i;
	if (rest) {
		uint32_t group = (uint8_t)bytes[i] << 16 | (rest == 2 ? (uint8_t)bytes[i + 1] << 8 : 0);
		out += ALPHABET[(group >> 18) & 63];
		out += ALPHABET[(group >> 12) & 63];
		out += rest == 2 ? ALPHABET[(group >> 6) & 63] : '=';
		out += '=';
	}
	return out;
}

bool json_string_member(const std::string &json, const char *name, std::string *out)
{
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	if (!data)
		return false;
	obs_data_item_t *item = obs_data_item_byname(data, name);
	bool found = item && obs_data_item_gettype(item) == OBS_DATA_STRING;
	if (found)
		*out = obs_data_item_get_string(item);
	if (item)
		obs_data_item_release(&item);
	obs_data_release(data);
	return found;
}

bool json_is_object(const std::string &json)
{
	size_t start = json.find_first_not_of(" \t\r\n");
	if (start == std::string::npos || json[start] != '{')
		return false;
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	obs_data_release(data);
	return data != nullptr;
}
