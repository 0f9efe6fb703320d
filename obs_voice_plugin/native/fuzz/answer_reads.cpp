#include "answer_reads.h"

#include <cstring>

#include <util/bmem.h>

#include "fuzz_support.h"

static char *copy_if_set(obs_data_t *data, const char *name)
{
	const char *value = obs_data_get_string(data, name);
	return value && *value ? bstrdup(value) : nullptr;
}

void answer_read_settings(obs_data_t *data, tenant_settings *out)
{
	*out = tenant_settings{};
	out->voice_clip_enabled = obs_data_get_bool(data, "voice_clip_enabled");
	out->is_live = obs_data_get_bool(data, "is_live");
	out->voice_clip_phrase = copy_if_set(data, "voice_clip_phrase");
	out->voice_clip_confidence_min = (float)obs_data_get_double(data, "voice_clip_confidence_min");
	long long cooldown = obs_data_get_int(data, "voice_clip_cooldown_seconds");
	out->voice_clip_cooldown_seconds = backend_wrap_int32((uint32_t)(uint64_t)cooldown);
	out->voice_clip_allow_mixer_tap = obs_data_get_bool(data, "voice_clip_allow_mixer_tap");
	out->latest_plugin_version = copy_if_set(data, "latest_plugin_version");

	// The low 32 bits, taken as signed.
	uint32_t low = (uint32_t)(uint64_t)cooldown;
	int32_t expected;
	memcpy(&expected, &low, sizeof(expected));
	FUZZ_CHECK(out->voice_clip_cooldown_seconds == expected, "cooldown %lld wrapped to %d, expected %d", cooldown,
		   out->voice_clip_cooldown_seconds, expected);
}

int answer_read_commands(obs_data_t *data, control_command *commands, int capacity)
{
	int count = 0;
	obs_data_array_t *items = obs_data_get_array(data, "commands");
	size_t item_count = items ? obs_data_array_count(items) : 0;
	for (size_t i = 0; i < item_count && count < capacity; i++) {
		obs_data_t *item = obs_data_array_item(items, i);
		if (!item)
			continue;
		const char *id = obs_data_get_string(item, "id");
		const char *action = obs_data_get_string(item, "action");
		const char *target = obs_data_get_string(item, "target");
		if (id && *id && action && *action) {
			commands[count].id = bstrdup(id);
			commands[count].action = bstrdup(action);
			commands[count].target = target && *target ? bstrdup(target) : nullptr;
			count++;
		}
		obs_data_release(item);
	}
	obs_data_array_release(items);
	return count;
}

bool answer_collect(collected_body *body, const std::string &bytes, uint32_t seed)
{
	const size_t before = body->text.len;
	size_t pos = 0;
	uint32_t state = seed | 1;
	while (pos < bytes.size()) {
		state = state * 1103515245u + 12345u;
		size_t piece = 1 + (state >> 16) % 4096;
		if (piece > bytes.size() - pos)
			piece = bytes.size() - pos;
		// libcurl hands over its own buffer; an exact-size copy catches over-reads.
		std::string chunk = bytes.substr(pos, piece);
		size_t taken = collect_body(&chunk[0], 1, piece, body);
		if (taken != piece) {
			FUZZ_CHECK(taken == 0 && body->too_large, "collect_body took %zu of %zu", taken, piece);
			return false;
		}
		pos += piece;
	}
	FUZZ_CHECK(!body->too_large, "too_large set on an answer that was taken");
	FUZZ_CHECK(body->text.len == before + bytes.size(), "collected %zu of %zu bytes", body->text.len - before,
		   bytes.size());
	FUZZ_CHECK(bytes.empty() || memcmp(body->text.array + before, bytes.data(), bytes.size()) == 0,
		   "bytes changed");
	return true;
}

void answer_check_settings(const tenant_settings &settings)
{
	FUZZ_CHECK(!settings.voice_clip_phrase || *settings.voice_clip_phrase, "empty phrase copied");
	FUZZ_CHECK(!settings.latest_plugin_version || *settings.latest_plugin_version, "empty version copied");
}

void answer_check_commands(const control_command *commands, int count, int capacity)
{
	FUZZ_CHECK(count >= 0 && count <= capacity, "count %d for capacity %d", count, capacity);
	for (int i = 0; i < count; i++) {
		FUZZ_CHECK(commands[i].id && *commands[i].id, "command %d without id", i);
		FUZZ_CHECK(commands[i].action && *commands[i].action, "command %d without action", i);
		FUZZ_CHECK(!commands[i].target || *commands[i].target, "command %d with an empty target", i);
	}
}
