// pairing_decode on arbitrary bytes. The input is split at its first zero
// byte into the pairing string and the server URL override (no zero byte: no
// override). Each result is checked against a reference decode made here
// with the host's JSON reader.

#include <cstdint>
#include <cstring>
#include <string>

#include <obs-data.h>

#include "backend/json_check.h"
#include "backend/pairing.h"
#include "fuzz_support.h"

namespace {

// Standard and URL-safe alphabets, stopping at "=", leftover bits dropped;
// false on any other byte.
bool reference_base64(const std::string &text, std::string *out)
{
	static const std::string standard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	static const std::string url_safe = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
	out->clear();
	uint32_t bits = 0;
	int count = 0;
	for (char c : text) {
		if (c == '=')
			break;
		size_t value = standard.find(c);
		if (value == std::string::npos)
			value = url_safe.find(c);
		if (value == std::string::npos)
			return false;
		bits = (bits << 6) | (uint32_t)value;
		count += 6;
		if (count >= 8) {
			count -= 8;
			out->push_back((char)((bits >> count) & 0xFF));
		}
	}
	return true;
}

struct expected_pairing {
	bool ok = false;
	std::string source_url; // the pairing's url, or the override in its place
	std::string url, tenant_id, key;
};

expected_pairing reference_decode(const std::string &pairing, const char *url_override)
{
	expected_pairing expected;
	std::string text;
	if (pairing.empty() || !reference_base64(pairing, &text))
		return expected;
	// The host reader sees the text up to its first zero byte.
	text = text.c_str();
	obs_data_t *data = json_data_from_text(text.c_str());
	if (!data)
		return expected;
	expected.url = obs_data_get_string(data, "url");
	expected.tenant_id = obs_data_get_string(data, "tenant_id");
	expected.key = obs_data_get_string(data, "key");
	obs_data_release(data);
	if (expected.url.empty() && url_override && *url_override)
		expected.url = url_override;
	expected.source_url = expected.url;
	if (!expected.url.empty() && expected.url.back() == '/')
		expected.url.pop_back();
	expected.ok = !expected.url.empty() && !expected.tenant_id.empty() && !expected.key.empty();
	return expected;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	std::string input((const char *)data, size);
	size_t split = input.find('\0');
	std::string pairing = input.substr(0, split);
	std::string override_text;
	const char *url_override = nullptr;
	if (split != std::string::npos) {
		override_text = std::string(input.c_str() + split + 1);
		url_override = override_text.c_str();
	}

	// Exact-size copies, so that any read past the terminator is caught.
	char *pairing_copy = (char *)malloc(pairing.size() + 1);
	memcpy(pairing_copy, pairing.c_str(), pairing.size() + 1);

	// The host's base64 decoder agrees with the reference one.
	std::string reference_text;
	bool reference_ok = !pairing.empty() && reference_base64(pairing, &reference_text);
	char *decoded = base64_decode(pairing_copy);
	FUZZ_CHECK((decoded != nullptr) == reference_ok, "base64_decode ok=%d, reference ok=%d", decoded != nullptr,
		   reference_ok);
	if (decoded) {
		FUZZ_CHECK(strlen(decoded) <= reference_text.size() &&
				   memcmp(decoded, reference_text.data(), strlen(decoded)) == 0,
			   "base64_decode differs from the reference");
		bfree(decoded);
	}

	pairing_info info = {(char *)"x", (char *)"y", (char *)"z"};
	bool ok = pairing_decode(pairing_copy, url_override, &info);

	// The decode logs nothing, whatever it is given: the host reader's
	// messages can quote the key.
	FUZZ_CHECK(fuzz_log_lines().empty(), "pairing_decode logged: %s", fuzz_log_lines()[0].c_str());

	expected_pairing expected = reference_decode(pairing, url_override);
	FUZZ_CHECK(ok == expected.ok, "pairing_decode ok=%d, reference ok=%d", ok, expected.ok);

	if (ok) {
		FUZZ_CHECK(info.url && info.tenant_id && info.key, "a field is null after success");
		FUZZ_CHECK(*info.url && *info.tenant_id && *info.key, "a field is empty after success");
		// One trailing slash is removed, so a slash may only be left from "//".
		size_t url_length = strlen(info.url);
		const std::string &source = expected.source_url;
		FUZZ_CHECK(info.url[url_length - 1] != '/' ||
				   (source.size() >= 2 && source.compare(source.size() - 2, 2, "//") == 0),
			   "url '%s' keeps a trailing slash", info.url);
		FUZZ_CHECK(expected.url == info.url, "url '%s', expected '%s'", info.url, expected.url.c_str());
		FUZZ_CHECK(expected.tenant_id == info.tenant_id, "tenant id differs");
		FUZZ_CHECK(expected.key == info.key, "key differs");

		backend_endpoints *endpoints = backend_endpoints_create(info.url, info.tenant_id, info.key);
		FUZZ_CHECK(endpoints, "no endpoints for a successful pairing");
		std::string base = std::string(info.url) + "/obs/" + info.tenant_id;
		FUZZ_CHECK(base + "/ping" == endpoints->ping_url, "ping url");
		FUZZ_CHECK(base + "/commands" == endpoints->commands_url, "commands url");
		FUZZ_CHECK(base + "/voice-command" == endpoints->voice_command_url, "voice-command url");
		backend_endpoints_destroy(endpoints);
		pairing_info_clear(&info);
	}
	FUZZ_CHECK(!info.url && !info.tenant_id && !info.key, "fields left set");
	free(pairing_copy);
	return 0;
}
