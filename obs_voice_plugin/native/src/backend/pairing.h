#pragma once

#include <obs-data.h>

// Credentials decoded from the dashboard's pairing string. Lives only inside
// one filter update; the key is wiped by pairing_info_clear.
struct pairing_info {
	char *url;
	char *tenant_id;
	char *key;
};

// Per-tenant request URLs and the plug-in key. Never changed after creation.
struct backend_endpoints {
	char *voice_command_url;
	char *ping_url;
	char *commands_url;
	char *plugin_key;
};

int base64_char_value(char c);
char *base64_decode(const char *text);
char *data_string_dup(obs_data_t *data, const char *name);

bool pairing_decode(const char *pairing, const char *url_override, pairing_info *out);
void pairing_info_clear(pairing_info *info);

backend_endpoints *backend_endpoints_create(const char *url, const char *tenant_id, const char *key);
void backend_endpoints_destroy(backend_endpoints *endpoints);
