#include "control_actions.h"

#include <obs-frontend-api.h>

#define REASON_REPLAY_BUFFER_NOT_ACTIVE \
	"the OBS replay buffer is not active \xE2\x80\x94 start it with !replaybufferon first"

void control_replay_buffer_start(void)
{
	if (!obs_frontend_replay_buffer_active())
		obs_frontend_replay_buffer_start();
}

void control_replay_buffer_stop(void)
{
	if (obs_frontend_replay_buffer_active())
		obs_frontend_replay_buffer_stop();
}

bool control_replay_buffer_save(const char **reason)
{
	if (obs_frontend_replay_buffer_active()) {
		obs_frontend_replay_buffer_save();
		return true;
	}
	if (reason)
		*reason = REASON_REPLAY_BUFFER_NOT_ACTIVE;
	return false;
}
