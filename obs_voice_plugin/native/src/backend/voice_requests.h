#pragma once

#include <cstddef>
#include <cstdint>

#include "pairing.h"

// The dashboard's voice-clip settings, as answered to the ping.
struct tenant_settings {
	bool voice_clip_enabled;
	bool is_live;
	char *voice_clip_phrase;
	float voice_clip_confidence_min;
	int32_t voice_clip_cooldown_seconds;
	bool voice_clip_allow_mixer_tap;
	char *latest_plugin_version;
};

// cancel (may be null): set by another thread to end the request at once.
bool backend_ping(const backend_endpoints *endpoints, tenant_settings *out, const volatile bool *cancel = nullptr);
// Fills the record from a parsed ping answer (all of it; missing members
// give the host's defaults).
void tenant_settings_read(obs_data_t *data, tenant_settings *out);
void tenant_settings_clear(tenant_settings *settings);

// Returns the HTTP status, 0 when no answer came. retry_after_seconds (may be
// null) is -1 unless a 429 answer carried a readable Retry-After in seconds.
int backend_post_clip(const backend_endpoints *endpoints, float confidence, const char *phrase,
		      const char *source, int32_t *retry_after_seconds, const volatile bool *cancel = nullptr);

// libcurl header callback: parses "Retry-After: <seconds>" into *userdata.
extern "C" size_t retry_after_header(char *line, size_t size, size_t count, void *userdata);
