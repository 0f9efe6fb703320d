#pragma once

#include <obs.h>

// Context of one show or hide walk over the scene items of every scene.
struct visibility_match {
	const char *name; // borrowed target source name
	bool visible;
	bool matched; // set once an item of that source has been given the visibility
};

// obs_scene_enum_items callback; param is a visibility_match. Always continues.
extern "C" bool visibility_match_item(obs_scene_t *scene, obs_sceneitem_t *item, void *param);
