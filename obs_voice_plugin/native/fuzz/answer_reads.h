#pragma once

// An independent reading of the ping and commands answers, written from the
// wire format, that fuzz_backend_http holds the real requests against (the
// answer targets call the plug-in's own tenant_settings_read and
// control_commands_read); plus the collection and invariant helpers.

#include <cstddef>
#include <cstdint>
#include <string>

#include <obs-data.h>

#include "backend/backend_http.h"
#include "backend/command_requests.h"
#include "backend/voice_requests.h"

// Fills the record from a parsed ping answer, as backend_ping does.
void answer_read_settings(obs_data_t *data, tenant_settings *out);

// Fills up to capacity records from a parsed commands answer, as
// backend_poll_commands does; returns the count.
int answer_read_commands(obs_data_t *data, control_command *commands, int capacity);

// Feeds the bytes to collect_body in pieces of varying length, as libcurl
// would, after what the body already holds; false when collect_body refused
// a piece (the answer is too long).
bool answer_collect(collected_body *body, const std::string &bytes, uint32_t seed);

// Checks the invariants of a filled record; aborts on a violation.
void answer_check_settings(const tenant_settings &settings);
void answer_check_commands(const control_command *commands, int count, int capacity);
