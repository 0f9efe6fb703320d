#include "command_requests.h"

#include <cstring>

#include <util/bmem.h>

#include "backend_http.h"

// Copies one item of the commands answer into *command; false (nothing
// stored) when it lacks an id or an action.
static bool command_from_item(obs_data_t *item, control_command *command)
{
	const char *id = obs_data_get_string(item, "id");
	const char *action = obs_data_get_string(item, "action");
	const char *target = obs_data_get_string(item, "target");
	if (!id || !*id || !action || !*action)
		return false;
	command->id = bstrdup(id);
	command->action = bstrdup(action);
	command->target = target && *target ? bstrdup(target) : nullptr;
	return true;
}

int backend_poll_commands(const backend_endpoints *endpoints, control_command *commands, int capacity,
			  const volatile bool *cancel, long *status_out)
{
	if (status_out)
		*status_out = 0;
	if (!endpoints || !commands || capacity <= 0)
		return -1;

	collected_body body = {};
	backend_request request = {};
	request.url = endpoints->commands_url;
	request.plugin_key = endpoints->plugin_key;
	request.connect_timeout_ms = 3000;
	request.timeout_ms = 5000;
	request.body = &body;
	request.description = "commands poll";
	request.cancel = cancel;
	long status = 0;
	bool answered = backend_perform(&request, &status);
	if (status_out)
		*status_out = status;
	obs_data_t *data = answered && status == 200 ? backend_parse_body(&body) : nullptr;
	dstr_free(&body.text);
	if (!data)
		return -1;

	int count = control_commands_read(data, commands, capacity);
	obs_data_release(data);
	return count;
}

int control_commands_read(obs_data_t *data, control_command *commands, int capacity)
{
	int count = 0;
	obs_data_array_t *items = obs_data_get_array(data, "commands");
	size_t item_count = items ? obs_data_array_count(items) : 0;
	for (size_t i = 0; i < item_count && count < capacity; i++) {
		obs_data_t *item = obs_data_array_item(items, i);
		if (!item)
			continue;
		if (command_from_item(item, &commands[count]))
			count++;
		obs_data_release(item);
	}
	obs_data_array_release(items);
	return count;
}

void control_command_clear(control_command *command)
{
	if (!command)
		return;
	bfree(command->id);
	bfree(command->action);
	bfree(command->target);
	command->id = nullptr;
	command->action = nullptr;
	command->target = nullptr;
}

// The command id as one path segment: every byte outside RFC 3986's
// unreserved set percent-encoded, so ordinary ids go as they are and none
// can reach another path ("/", "?", "#", blanks); "." and ".." would be
// removed from the path as dot segments, so they are encoded too.
static void ack_url(struct dstr *url, const char *commands_url, const char *id)
{
	char *segment = curl_easy_escape(nullptr, id, 0);
	const char *shown = segment ? segment : "";
	if (strcmp(shown, ".") == 0)
		shown = "%2E";
	else if (strcmp(shown, "..") == 0)
		shown = "%2E%2E";
	dstr_printf(url, "%s/%s/ack", commands_url, shown);
	curl_free(segment);
}

// Acknowledges several commands with the same status and reason, side by
// side, so that the whole costs one acknowledgement's time.
void backend_ack_commands(const backend_endpoints *endpoints, const char *const *ids, size_t count,
			  const char *status, const char *reason, const std::atomic<uint64_t> *cancel_at_ns)
{
	if (!endpoints || !ids || count == 0)
		return;

	obs_data_t *body = obs_data_create();
	obs_data_set_string(body, "status", status ? status : "failed");
	if (reason && *reason)
		obs_data_set_string(body, "error", reason);
	const char *json = obs_data_get_json(body);

	struct dstr *urls = (struct dstr *)bzalloc(count * sizeof(struct dstr));
	backend_request *requests = (backend_request *)bzalloc(count * sizeof(backend_request));
	size_t used = 0;
	for (size_t i = 0; i < count; i++) {
		if (!ids[i] || !*ids[i])
			continue;
		ack_url(&urls[used], endpoints->commands_url, ids[i]);
		backend_request &request = requests[used++];
		request.url = urls[used - 1].array;
		request.plugin_key = endpoints->plugin_key;
		request.json_body = json ? json : "{}";
		request.connect_timeout_ms = 3000;
		request.timeout_ms = 5000;
		request.description = "command ack";
		request.cancel_at_ns = cancel_at_ns;
	}
	// Any answer counts as delivered.
	bool *answered = (bool *)bzalloc(count * sizeof(bool));
	long *statuses = (long *)bzalloc(count * sizeof(long));
	if (used)
		backend_perform_all(requests, used, answered, statuses);

	for (size_t i = 0; i < used; i++)
		dstr_free(&urls[i]);
	bfree(answered);
	bfree(statuses);
	bfree(requests);
	bfree(urls);
	obs_data_release(body);
}

void backend_ack_command(const backend_endpoints *endpoints, const char *id, const char *status,
			 const char *reason, const std::atomic<uint64_t> *cancel_at_ns)
{
	backend_ack_commands(endpoints, &id, 1, status, reason, cancel_at_ns);
}
