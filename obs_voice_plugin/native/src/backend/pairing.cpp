#include "pairing.h"

#include <cstring>

#include <util/bmem.h>
#include <util/dstr.h>

#include "json_check.h"
#include "secret_wipe.h"

int base64_char_value(char c)
{
	unsigned char byte = (unsigned char)c;
	if (byte >= 'A' && byte <= 'Z')
		return byte - 'A';
	if (byte >= 'a' && byte <= 'z')
		return byte - 'a' + 26;
	if (byte >= '0' && byte <= '9')
		return byte - '0' + 52;
	if (byte == '+' || byte == '-')
		return 62;
	if (byte == '/' || byte == '_')
		return 63;
	return -1;
}

// Accepts both alphabets, with or without padding; whatever follows the
// first "=" is ignored. Leftover bits of a short final group are dropped.
char *base64_decode(const char *text)
{
	if (!text || !*text)
		return nullptr;
	size_t length = strlen(text);
	// Never more than 3/4 of the text plus the NUL.
	char *out = (char *)bmalloc(length);
	size_t used = 0;
	uint32_t accumulator = 0;
	int pending_bits = 0;
	for (const char *c = text; *c && *c != '='; c++) {
		int value = base64_char_value(*c);
		if (value < 0) {
			bfree(out);
			return nullptr;
		}
		accumulator = (accumulator << 6) | (uint32_t)value;
		pending_bits += 6;
		if (pending_bits >= 8) {
			pending_bits -= 8;
			out[used++] = (char)((accumulator >> pending_bits) & 0xFF);
		}
	}
	out[used] = 0;
	return out;
}

char *data_string_dup(obs_data_t *data, const char *name)
{
	const char *value = obs_data_get_string(data, name);
	return bstrdup(value ? value : "");
}

static void secret_free(char *text)
{
	secret_wipe(text);
	bfree(text);
}

bool pairing_decode(const char *pairing, const char *url_override, pairing_info *out)
{
	if (!out)
		return false;
	out->url = nullptr;
	out->tenant_id = nullptr;
	out->key = nullptr;
	if (!pairing || !*pairing)
		return false;

	char *text = base64_decode(pairing);
	if (!text)
		return false;
	// Never obs_data_create_from_json directly: it logs the token it stumbles
	// on, which may be part of the key.
	obs_data_t *data = json_data_from_text(text);
	bfree(text);
	if (!data)
		return false;
	char *url = data_string_dup(data, "url");
	char *tenant_id = data_string_dup(data, "tenant_id");
	char *key = data_string_dup(data, "key");
	obs_data_release(data);

	if (!*url && url_override && *url_override) {
		bfree(url);
		url = bstrdup(url_override);
	}
	size_t url_length = strlen(url);
	if (url_length && url[url_length - 1] == '/')
		url[url_length - 1] = 0;

	if (!*url || !*tenant_id || !*key) {
		bfree(url);
		bfree(tenant_id);
		secret_free(key);
		return false;
	}
	out->url = url;
	out->tenant_id = tenant_id;
	out->key = key;
	return true;
}

void pairing_info_clear(pairing_info *info)
{
	if (!info)
		return;
	bfree(info->url);
	bfree(info->tenant_id);
	secret_free(info->key);
	info->url = nullptr;
	info->tenant_id = nullptr;
	info->key = nullptr;
}

static char *endpoint_url(const char *format, const char *url, const char *tenant_id)
{
	struct dstr text = {};
	dstr_printf(&text, format, url, tenant_id);
	return text.array;
}

backend_endpoints *backend_endpoints_create(const char *url, const char *tenant_id, const char *key)
{
	if (!url || !tenant_id || !key)
		return nullptr;
	backend_endpoints *endpoints = (backend_endpoints *)bzalloc(sizeof(backend_endpoints));
	endpoints->voice_command_url = endpoint_url("%s/obs/%s/voice-command", url, tenant_id);
	endpoints->ping_url = endpoint_url("%s/obs/%s/ping", url, tenant_id);
	endpoints->commands_url = endpoint_url("%s/obs/%s/commands", url, tenant_id);
	endpoints->plugin_key = bstrdup(key);
	return endpoints;
}

void backend_endpoints_destroy(backend_endpoints *endpoints)
{
	if (!endpoints)
		return;
	bfree(endpoints->voice_command_url);
	bfree(endpoints->ping_url);
	bfree(endpoints->commands_url);
	secret_free(endpoints->plugin_key);
	bfree(endpoints);
}
