#include "json_check.h"

#include <jansson.h>

#include "secret_wipe.h"

// What obs_data_create_from_json passes to json_loads.
static const size_t HOST_READER_FLAGS = JSON_REJECT_DUPLICATES;

bool json_text_is_valid(const char *text)
{
	if (!text)
		return false;
	json_error_t error;
	json_t *root = json_loads(text, HOST_READER_FLAGS, &error);
	if (!root) {
		// It may quote a piece of the key; do not leave that on the stack.
		secret_wipe(error.text);
		return false;
	}
	json_decref(root);
	return true;
}

obs_data_t *json_data_from_text(const char *text)
{
	return json_text_is_valid(text) ? obs_data_create_from_json(text) : nullptr;
}
