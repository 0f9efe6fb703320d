#include "control_actions.h"
#include "control_visibility.h"

#include <string.h>

#include <obs-frontend-api.h>

bool control_switch_scene(const char *name)
{
	obs_source_t *source = obs_get_source_by_name(name);
	if (!source)
		return false;

	bool is_scene = obs_scene_from_source(source) != nullptr;
	if (is_scene)
		obs_frontend_set_current_scene(source);
	obs_source_release(source);
	return is_scene;
}

extern "C" bool visibility_match_item(obs_scene_t *scene, obs_sceneitem_t *item, void *param)
{
	(void)scene;
	visibility_match *match = static_cast<visibility_match *>(param);
	obs_source_t *source = obs_sceneitem_get_source(item);
	if (!source)
		return true;

	const char *source_name = obs_source_get_name(source);
	if (source_name && strcmp(source_name, match->name) == 0) {
		obs_sceneitem_set_visible(item, match->visible);
		match->matched = true;
	}
	return true;
}

bool control_set_source_visible(const char *name, bool visible)
{
	visibility_match match = {name, visible, false};

	obs_frontend_source_list scenes = {};
	obs_frontend_get_scenes(&scenes);
	for (size_t i = 0; i < scenes.sources.num; i++) {
		obs_scene_t *scene = obs_scene_from_source(scenes.sources.array[i]);
		if (scene)
			obs_scene_enum_items(scene, visibility_match_item, &match);
	}
	obs_frontend_source_list_free(&scenes);
	return match.matched;
}

bool control_set_source_muted(const char *name, bool muted)
{
	obs_source_t *source = obs_get_source_by_name(name);
	if (!source)
		return false;

	obs_source_set_muted(source, muted);
	obs_source_release(source);
	return true;
}
