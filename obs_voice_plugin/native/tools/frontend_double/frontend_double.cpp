#include "frontend_double.h"

#include <mutex>
#include <string>
#include <vector>

#include <obs-frontend-api.h>

namespace {

std::mutex state_lock;
bool replay_active = false;
bool replay_startable = true;
frontend_double_counts counts = {};
std::string current_scene;

bool collect_scene(void *param, obs_source_t *source)
{
	auto *scenes = static_cast<std::vector<obs_source_t *> *>(param);
	scenes->push_back(source);
	return true;
}

} // namespace

extern "C" {

void frontend_double_reset(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_active = false;
	replay_startable = true;
	counts = {};
	current_scene.clear();
}

void frontend_double_set_replay_buffer_active(bool active)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_active = active;
}

void frontend_double_set_replay_buffer_startable(bool startable)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_startable = startable;
}

frontend_double_counts frontend_double_get_counts(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return counts;
}

void frontend_double_current_scene_name(char *buf, size_t size)
{
	std::lock_guard<std::mutex> guard(state_lock);
	if (size == 0)
		return;
	snprintf(buf, size, "%s", current_scene.c_str());
}

// Scenes in creation order, as the OBS window lists them by default;
// obs_enum_scenes gives the newest first. Each entry is a new reference.
void obs_frontend_get_scenes(struct obs_frontend_source_list *sources)
{
	std::vector<obs_source_t *> scenes;
	obs_enum_scenes(collect_scene, &scenes);
	for (auto it = scenes.rbegin(); it != scenes.rend(); ++it) {
		obs_source_t *ref = obs_source_get_ref(*it);
		if (ref)
			da_push_back(sources->sources, &ref);
	}
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	obs_source_t *output = obs_get_output_source(0);
	return output;
}

void obs_frontend_set_current_scene(obs_source_t *scene)
{
	obs_set_output_source(0, scene);
	std::lock_guard<std::mutex> guard(state_lock);
	counts.set_scene_calls++;
	current_scene = scene ? obs_source_get_name(scene) : "";
}

bool obs_frontend_replay_buffer_active(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return replay_active;
}

void obs_frontend_replay_buffer_start(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	counts.replay_start_calls++;
	if (replay_startable)
		replay_active = true;
}

void obs_frontend_replay_buffer_stop(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	counts.replay_stop_calls++;
	replay_active = false;
}

void obs_frontend_replay_buffer_save(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	counts.replay_save_calls++;
}

} // extern "C"
