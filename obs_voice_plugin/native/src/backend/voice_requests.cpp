#include "voice_requests.h"

#include <util/bmem.h>

#include "backend_http.h"

static char *copy_if_set(obs_data_t *data, const char *name)
{
	const char *value = obs_data_get_string(data, name);
	return value && *value ? bstrdup(value) : nullptr;
}

bool backend_ping(const backend_endpoints *endpoints, tenant_settings *out, const volatile bool *cancel)
{
	if (out)
		*out = tenant_settings{};
	if (!endpoints || !out)
		return false;

	collected_body body = {};
	backend_request request = {};
	request.url = endpoints->ping_url;
	request.plugin_key = endpoints->plugin_key;
	request.connect_timeout_ms = 3000;
	request.timeout_ms = 5000;
	request.body = &body;
	request.description = "ping";
	request.cancel = cancel;
	long status = 0;
	bool answered = backend_perform(&request, &status);
	obs_data_t *data = answered && status == 200 ? backend_parse_body(&body) : nullptr;
	dstr_free(&body.text);
	if (!data)
		return false;

	tenant_settings_read(data, out);
	obs_data_release(data);
	return true;
}

void tenant_settings_read(obs_data_t *data, tenant_settings *out)
{
	out->voice_clip_enabled = obs_data_get_bool(data, "voice_clip_enabled");
	out->is_live = obs_data_get_bool(data, "is_live");
	out->voice_clip_phrase = copy_if_set(data, "voice_clip_phrase");
	out->voice_clip_confidence_min = (float)obs_data_get_double(data, "voice_clip_confidence_min");
	out->voice_clip_cooldown_seconds =
		backend_wrap_int32((uint32_t)(uint64_t)obs_data_get_int(data, "voice_clip_cooldown_seconds"));
	out->voice_clip_allow_mixer_tap = obs_data_get_bool(data, "voice_clip_allow_mixer_tap");
	out->latest_plugin_version = copy_if_set(data, "latest_plugin_version");
}

void tenant_settings_clear(tenant_settings *settings)
{
	if (!settings)
		return;
	bfree(settings->voice_clip_phrase);
	bfree(settings->latest_plugin_version);
	settings->voice_clip_phrase = nullptr;
	settings->latest_plugin_version = nullptr;
}

int backend_post_clip(const backend_endpoints *endpoints, float confidence, const char *phrase,
		      const char *source, int32_t *retry_after_seconds, const volatile bool *cancel)
{
	if (retry_after_seconds)
		*retry_after_seconds = -1;
	if (!endpoints)
		return 0;

	obs_data_t *body = obs_data_create();
	obs_data_set_string(body, "command", "clip");
	obs_data_set_double(body, "confidence", (double)confidence);
	obs_data_set_string(body, "source", source ? source : "mixer");
	if (phrase && *phrase)
		obs_data_set_string(body, "phrase", phrase);
	const char *json = obs_data_get_json(body);

	int32_t retry_after = -1;
	backend_request request = {};
	request.url = endpoints->voice_command_url;
	request.plugin_key = endpoints->plugin_key;
	request.json_body = json ? json : "{}";
	request.connect_timeout_ms = 4000;
	request.timeout_ms = 8000;
	request.retry_after = &retry_after;
	request.description = "clip POST";
	request.cancel = cancel;
	long status = 0;
	backend_perform(&request, &status);
	obs_data_release(body);

	if (status == 429 && retry_after_seconds)
		*retry_after_seconds = retry_after;
	return (int)status;
}

static bool is_blank(char c)
{
	return c == ' ' || c == '\t';
}

extern "C" size_t retry_after_header(char *line, size_t size, size_t count, void *userdata)
{
	static const char NAME[] = "retry-after:";
	const size_t name_length = sizeof(NAME) - 1;
	size_t length = size * count;
	int32_t *slot = (int32_t *)userdata;
	if (length < name_length)
		return length;
	for (size_t i = 0; i < name_length; i++) {
		char c = line[i];
		if (c >= 'A' && c <= 'Z')
			c = (char)(c - 'A' + 'a');
		if (c != NAME[i])
			return length;
	}
	size_t pos = name_length;
	while (pos < length && is_blank(line[pos]))
		pos++;
	// Unsigned, so that a long run of digits wraps instead of overflowing.
	uint32_t value = 0;
	bool digits = false;
	for (; pos < length && line[pos] >= '0' && line[pos] <= '9'; pos++) {
		value = value * 10u + (uint32_t)(line[pos] - '0');
		digits = true;
	}
	if (digits)
		*slot = backend_wrap_int32(value);
	return length;
}
