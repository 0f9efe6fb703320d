#include "command_requests.h"

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

int backend_poll_commands(const backend_endpoints *endpoints, control_command *commands, int capacity)
{
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
	long status = 0;
	bool answered = backend_perform(&request, &status);
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

void backend_ack_command(const backend_endpoints *endpoints, const char *id, const char *status,
			 const char *reason)
{
	if (!endpoints || !id || !*id)
		return;

	struct dstr url = {};
	dstr_printf(&url, "%s/%s/ack", endpoints->commands_url, id);
	obs_data_t *body = obs_data_create();
	obs_data_set_string(body, "status", status ? status : "failed");
	if (reason && *reason)
		obs_data_set_string(body, "error", reason);
	const char *json = obs_data_get_json(body);

	backend_request request = {};
	request.url = url.array;
	request.plugin_key = endpoints->plugin_key;
	request.json_body = json ? json : "{}";
	request.connect_timeout_ms = 3000;
	request.timeout_ms = 5000;
	request.description = "command ack";
	long answer_status = 0; // any answer counts as delivered
	backend_perform(&request, &answer_status);
	obs_data_release(body);
	dstr_free(&url);
}
