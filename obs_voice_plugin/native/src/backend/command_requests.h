#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pairing.h"

// One chat-derived OBS control command fetched from the back-end.
struct control_command {
	char *id;
	char *action;
	char *target; // null when the back-end sent none or an empty one
};

// Returns the number of commands stored from the start of the array, or -1.
// *cancel (when given), set by another thread, ends the request at once,
// silently; *status (when given) receives the answer's HTTP status, 0 when
// none came.
int backend_poll_commands(const backend_endpoints *endpoints, control_command *commands, int capacity,
			  const volatile bool *cancel = nullptr, long *status = nullptr);
// Stores the valid items of a parsed commands answer, in order, at most
// capacity of them; returns how many.
int control_commands_read(obs_data_t *data, control_command *commands, int capacity);
void control_command_clear(control_command *command);

// POSTs {"status", "error"} to "<commands URL>/<id>/ack", the id as one
// percent-encoded path segment. The request ends silently, answered or not,
// once the host time reaches *cancel_at_ns (when given and not 0; another
// thread may set it while the request runs).
void backend_ack_command(const backend_endpoints *endpoints, const char *id, const char *status,
			 const char *reason, const std::atomic<uint64_t> *cancel_at_ns = nullptr);
// The same for several commands at once, side by side.
void backend_ack_commands(const backend_endpoints *endpoints, const char *const *ids, size_t count,
			  const char *status, const char *reason,
			  const std::atomic<uint64_t> *cancel_at_ns = nullptr);
