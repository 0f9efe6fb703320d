// The dispatcher against real libobs scenes and sources, the frontend double
// and the local dashboard that receives the acknowledgements.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <curl/curl.h>
#include <obs.h>
#include <util/bmem.h>

#include "control/control.h"
#include "frontend_double.h"
#include "local_dashboard.h"
#include "obs_host.h"

namespace {

const char REPLAY_NOT_ACTIVE[] = "the OBS replay buffer is not active \xE2\x80\x94 start it with !replaybufferon first";

local_dashboard *dashboard = nullptr;
backend_endpoints *endpoints = nullptr;

class ControlEnvironment : public ::testing::Environment {
public:
	void SetUp() override
	{
		ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
		ASSERT_TRUE(obs_host_start(obs_host_options{}));
		dashboard = dashboard_start(0);
		ASSERT_NE(dashboard, nullptr);
		dashboard_add_tenant(dashboard, "t1", "k1");
		endpoints = backend_endpoints_create(dashboard_base_url(dashboard).c_str(), "t1", "k1");
		ASSERT_NE(endpoints, nullptr);
		// As the poll service does from load on: OBS's replay-buffer events.
		control_frontend_watch();
	}

	void TearDown() override
	{
		control_frontend_unwatch();
		backend_endpoints_destroy(endpoints);
		dashboard_stop(dashboard);
		obs_host_shutdown();
		curl_global_cleanup();
		EXPECT_EQ(bnum_allocs(), 0) << "host allocations never freed";
		char faults[4096];
		frontend_double_faults(faults, sizeof(faults));
		EXPECT_EQ(frontend_double_fault_count(), 0u) << faults;
	}
};

[[maybe_unused]] const auto *environment = ::testing::AddGlobalTestEnvironment(new ControlEnvironment);

// What the dashboard received for one acknowledgement.
struct ack_seen {
	std::string path;
	std::string status;
	bool has_error = false;
	std::string error;
};

ack_seen dispatch(const char *id, const char *action, const char *target)
{
	size_t before = dashboard_count(dashboard, "ack");
	control_command command = {const_cast<char *>(id), const_cast<char *>(action), const_cast<char *>(target)};
	control_dispatch(endpoints, &command);

	ack_seen seen;
	if (!dashboard_wait_count(dashboard, "ack", before + 1, 3000)) {
		ADD_FAILURE() << "no acknowledgement for " << id;
		return seen;
	}
	std::vector<dashboard_request> acks = dashboard_requests(dashboard, "ack");
	EXPECT_EQ(acks.size(), before + 1);
	const dashboard_request &last = acks.back();
	seen.path = last.path;
	obs_data_t *body = obs_data_create_from_json(last.body.c_str());
	if (!body) {
		ADD_FAILURE() << "ack body is not JSON: " << last.body;
		return seen;
	}
	seen.status = obs_data_get_string(body, "status");
	seen.has_error = obs_data_has_user_value(body, "error");
	seen.error = obs_data_get_string(body, "error");
	obs_data_release(body);
	return seen;
}

void expect_done(const ack_seen &ack, const char *id)
{
	EXPECT_EQ(ack.path, std::string("/obs/t1/commands/") + id + "/ack");
	EXPECT_EQ(ack.status, "done");
	EXPECT_FALSE(ack.has_error) << ack.error;
}

void expect_failed(const ack_seen &ack, const char *id, const char *reason)
{
	EXPECT_EQ(ack.path, std::string("/obs/t1/commands/") + id + "/ack");
	EXPECT_EQ(ack.status, "failed");
	EXPECT_EQ(ack.error, reason);
}

std::string current_scene_name()
{
	char buf[256];
	frontend_double_current_scene_name(buf, sizeof(buf));
	return buf;
}

// Scenes and sources created by one test, released at its end.
class ControlActions : public ::testing::Test {
protected:
	std::vector<obs_scene_t *> scenes;
	std::vector<obs_source_t *> sources;

	void SetUp() override
	{
		frontend_double_reset();
		obs_host_log_clear();
	}

	void TearDown() override
	{
		obs_set_output_source(0, nullptr);
		for (obs_scene_t *scene : scenes)
			obs_scene_release(scene);
		for (obs_source_t *source : sources)
			obs_source_release(source);
		obs_host_flush_destroyed();
	}

	obs_scene_t *make_scene(const char *name)
	{
		obs_scene_t *scene = obs_scene_create(name);
		scenes.push_back(scene);
		return scene;
	}

	obs_source_t *make_input(const char *name)
	{
		obs_source_t *source = obs_host_create_audio_input(name);
		sources.push_back(source);
		return source;
	}

	static size_t log_count(const std::string &line) { return obs_host_log_count(line); }
};

TEST_F(ControlActions, SceneSwitchesOnlyToAnExistingScene)
{
	obs_scene_t *main = make_scene("cs-main");
	obs_scene_t *brb = make_scene("cs-brb");
	obs_source_t *mic = make_input("cs-mic");
	obs_scene_add(main, mic);

	expect_done(dispatch("c1", "scene", "cs-brb"), "c1");
	EXPECT_EQ(current_scene_name(), "cs-brb");
	obs_source_t *output = obs_get_output_source(0);
	EXPECT_EQ(output, obs_scene_get_source(brb));
	obs_source_release(output);
	EXPECT_EQ(log_count("[tollivaren-voice] control scene 'cs-brb' -> done"), 1u);

	// An audio input, an unknown name and a name differing in case are no scenes.
	expect_failed(dispatch("c2", "scene", "cs-mic"), "c2", "scene not found");
	expect_failed(dispatch("c3", "scene", "cs-nowhere"), "c3", "scene not found");
	expect_failed(dispatch("c4", "scene", "CS-MAIN"), "c4", "scene not found");
	EXPECT_EQ(log_count("[tollivaren-voice] control scene 'cs-mic' -> failed"), 1u);
	EXPECT_EQ(current_scene_name(), "cs-brb");
	EXPECT_EQ(frontend_double_get_counts().set_scene_calls, 1);
	output = obs_get_output_source(0);
	EXPECT_EQ(output, obs_scene_get_source(brb));
	obs_source_release(output);

	expect_done(dispatch("c5", "scene", "cs-main"), "c5");
	EXPECT_EQ(current_scene_name(), "cs-main");
}

TEST_F(ControlActions, ShowAndHideReachEveryItemOfTheSourceInEveryScene)
{
	obs_scene_t *a = make_scene("vis-a");
	obs_scene_t *b = make_scene("vis-b");
	obs_scene_t *c = make_scene("vis-c");
	obs_source_t *cam = make_input("vis-cam");
	obs_source_t *camera = make_input("vis-camera");
	make_input("vis-loose");

	std::vector<obs_sceneitem_t *> cam_items = {obs_scene_add(a, cam), obs_scene_add(b, cam),
						    obs_scene_add(b, cam), obs_scene_add(c, cam)};
	obs_sceneitem_t *camera_item = obs_scene_add(a, camera);
	for (obs_sceneitem_t *item : cam_items)
		ASSERT_NE(item, nullptr);
	ASSERT_NE(camera_item, nullptr);
	for (obs_sceneitem_t *item : cam_items)
		obs_sceneitem_set_visible(item, false);

	expect_done(dispatch("v1", "show_source", "vis-cam"), "v1");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_TRUE(obs_sceneitem_visible(item));
	EXPECT_EQ(log_count("[tollivaren-voice] control show_source 'vis-cam' -> done"), 1u);

	// A longer name sharing the prefix is a different source.
	expect_done(dispatch("v2", "hide_source", "vis-cam"), "v2");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_FALSE(obs_sceneitem_visible(item));
	EXPECT_TRUE(obs_sceneitem_visible(camera_item));

	// Already hidden: still matched, still done.
	expect_done(dispatch("v3", "hide_source", "vis-cam"), "v3");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_FALSE(obs_sceneitem_visible(item));

	expect_done(dispatch("v4", "hide_source", "vis-camera"), "v4");
	EXPECT_FALSE(obs_sceneitem_visible(camera_item));

	expect_failed(dispatch("v5", "show_source", "vis-loose"), "v5", "source was not found in any scene");
	expect_failed(dispatch("v6", "hide_source", "vis-loose"), "v6", "source was not found in any scene");
	expect_failed(dispatch("v7", "show_source", "VIS-CAM"), "v7", "source was not found in any scene");
	expect_failed(dispatch("v8", "show_source", nullptr), "v8", "source was not found in any scene");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_FALSE(obs_sceneitem_visible(item));
	EXPECT_EQ(log_count("[tollivaren-voice] control show_source '' -> failed"), 1u);
}

// OBS's scene list holds no groups: an item inside a group is reached only
// through the group's item in its scene. The group itself is an item too.
TEST_F(ControlActions, ShowAndHideReachItemsInsideGroups)
{
	obs_scene_t *a = make_scene("grp-a");
	obs_scene_t *b = make_scene("grp-b");
	obs_source_t *cam = make_input("grp-cam");
	obs_source_t *music = make_input("grp-music");

	// grp-a: the camera only inside a group; grp-b: at top level and inside another group.
	obs_sceneitem_t *in_box = obs_scene_add(a, cam);
	obs_sceneitem_t *music_in_box = obs_scene_add(a, music);
	ASSERT_NE(in_box, nullptr);
	ASSERT_NE(music_in_box, nullptr);
	obs_sceneitem_t *box_items[] = {in_box, music_in_box};
	obs_sceneitem_t *box = obs_scene_insert_group2(a, "grp-box", box_items, 2, false);
	ASSERT_NE(box, nullptr);
	ASSERT_TRUE(obs_sceneitem_is_group(box));
	obs_sceneitem_t *top = obs_scene_add(b, cam);
	obs_sceneitem_t *in_crate = obs_scene_add(b, cam);
	ASSERT_NE(top, nullptr);
	ASSERT_NE(in_crate, nullptr);
	obs_sceneitem_t *crate = obs_scene_insert_group2(b, "grp-crate", &in_crate, 1, false);
	ASSERT_NE(crate, nullptr);
	// Inserting into a group moves the item there: it is no longer a top-level item.
	ASSERT_EQ(obs_scene_find_source(a, "grp-cam"), nullptr);
	ASSERT_EQ(obs_sceneitem_get_group(a, in_box), box);
	ASSERT_EQ(obs_sceneitem_get_group(b, in_crate), crate);

	const std::vector<obs_sceneitem_t *> cam_items = {in_box, top, in_crate};
	for (obs_sceneitem_t *item : cam_items)
		obs_sceneitem_set_visible(item, false);

	expect_done(dispatch("g1", "show_source", "grp-cam"), "g1");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_TRUE(obs_sceneitem_visible(item));
	EXPECT_TRUE(obs_sceneitem_visible(music_in_box));

	expect_done(dispatch("g2", "hide_source", "grp-cam"), "g2");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_FALSE(obs_sceneitem_visible(item));
	EXPECT_TRUE(obs_sceneitem_visible(box));
	EXPECT_TRUE(obs_sceneitem_visible(music_in_box));

	// A source found only inside a group is found.
	expect_done(dispatch("g3", "hide_source", "grp-music"), "g3");
	EXPECT_FALSE(obs_sceneitem_visible(music_in_box));
	EXPECT_EQ(log_count("[tollivaren-voice] control hide_source 'grp-music' -> done"), 1u);

	// The group by its own name: its item, not the items inside it.
	expect_done(dispatch("g4", "hide_source", "grp-box"), "g4");
	EXPECT_FALSE(obs_sceneitem_visible(box));
	EXPECT_TRUE(obs_sceneitem_visible(crate));
	expect_done(dispatch("g5", "show_source", "grp-box"), "g5");
	EXPECT_TRUE(obs_sceneitem_visible(box));
	EXPECT_FALSE(obs_sceneitem_visible(in_box));
	EXPECT_FALSE(obs_sceneitem_visible(music_in_box));

	expect_failed(dispatch("g6", "show_source", "GRP-CAM"), "g6", "source was not found in any scene");
	for (obs_sceneitem_t *item : cam_items)
		EXPECT_FALSE(obs_sceneitem_visible(item));
}

TEST_F(ControlActions, MuteAndUnmuteSetTheStateEvenWhenAlreadySet)
{
	obs_source_t *mic = make_input("mute-mic");
	ASSERT_FALSE(obs_source_muted(mic));

	expect_done(dispatch("m1", "mute_source", "mute-mic"), "m1");
	EXPECT_TRUE(obs_source_muted(mic));
	expect_done(dispatch("m2", "mute_source", "mute-mic"), "m2");
	EXPECT_TRUE(obs_source_muted(mic));
	expect_done(dispatch("m3", "unmute_source", "mute-mic"), "m3");
	EXPECT_FALSE(obs_source_muted(mic));
	expect_done(dispatch("m4", "unmute_source", "mute-mic"), "m4");
	EXPECT_FALSE(obs_source_muted(mic));
	EXPECT_EQ(log_count("[tollivaren-voice] control unmute_source 'mute-mic' -> done"), 2u);

	expect_failed(dispatch("m5", "mute_source", "mute-ghost"), "m5", "source not found");
	expect_failed(dispatch("m6", "unmute_source", "MUTE-MIC"), "m6", "source not found");
	EXPECT_FALSE(obs_source_muted(mic));

	// Without a target the empty name is looked up, and the log shows ''.
	expect_failed(dispatch("m7", "mute_source", nullptr), "m7", "source not found");
	EXPECT_EQ(log_count("[tollivaren-voice] control mute_source '' -> failed"), 1u);
}

TEST_F(ControlActions, ReplayBufferFollowsItsState)
{
	expect_failed(dispatch("r1", "replay_buffer_save", nullptr), "r1", REPLAY_NOT_ACTIVE);
	EXPECT_EQ(frontend_double_get_counts().replay_save_calls, 0);
	EXPECT_EQ(log_count("[tollivaren-voice] control replay_buffer_save '' -> failed"), 1u);

	expect_done(dispatch("r2", "replay_buffer_off", nullptr), "r2");
	EXPECT_EQ(frontend_double_get_counts().replay_stop_calls, 0);

	expect_done(dispatch("r3", "replay_buffer_on", "ignored target"), "r3");
	EXPECT_EQ(frontend_double_get_counts().replay_start_calls, 1);
	EXPECT_EQ(log_count("[tollivaren-voice] control replay_buffer_on 'ignored target' -> done"), 1u);

	// Already running: done without a second start.
	expect_done(dispatch("r4", "replay_buffer_on", nullptr), "r4");
	EXPECT_EQ(frontend_double_get_counts().replay_start_calls, 1);

	expect_done(dispatch("r5", "replay_buffer_save", nullptr), "r5");
	EXPECT_EQ(frontend_double_get_counts().replay_save_calls, 1);

	expect_done(dispatch("r6", "replay_buffer_off", nullptr), "r6");
	expect_done(dispatch("r7", "replay_buffer_off", nullptr), "r7");
	EXPECT_EQ(frontend_double_get_counts().replay_stop_calls, 1);

	// OBS accepted the start but the buffer did not run: still done, save fails.
	frontend_double_set_replay_buffer_startable(false);
	expect_done(dispatch("r8", "replay_buffer_on", nullptr), "r8");
	EXPECT_EQ(frontend_double_get_counts().replay_start_calls, 2);
	expect_failed(dispatch("r9", "replay_buffer_save", nullptr), "r9", REPLAY_NOT_ACTIVE);
}

// !replaybufferon then !replaybuffersave in one poll: OBS runs the buffer
// only a moment after the start, and the save waits for it instead of
// failing as "not active". A buffer that never starts (no replay buffer in
// the profile) still fails the save, after a bounded wait.
TEST_F(ControlActions, SaveRightAfterStartWaitsForTheBufferToRun)
{
	frontend_double_set_replay_start_delay(300);
	expect_done(dispatch("s1", "replay_buffer_on", nullptr), "s1");
	expect_done(dispatch("s2", "replay_buffer_save", nullptr), "s2");
	EXPECT_EQ(frontend_double_get_counts().replay_start_calls, 1);
	EXPECT_EQ(frontend_double_get_counts().replay_save_calls, 1);
	expect_done(dispatch("s3", "replay_buffer_off", nullptr), "s3");
	expect_done(dispatch("s4", "replay_buffer_on", nullptr), "s4");
	EXPECT_EQ(frontend_double_get_counts().replay_start_calls, 2) << "the stop had not settled";
	expect_done(dispatch("s4b", "replay_buffer_off", nullptr), "s4b");
	expect_done(dispatch("s4c", "replay_buffer_off", nullptr), "s4c");
	EXPECT_EQ(frontend_double_get_counts().replay_stop_calls, 2);

	frontend_double_reset();
	frontend_double_set_replay_buffer_startable(false);
	expect_done(dispatch("s5", "replay_buffer_on", nullptr), "s5");
	expect_failed(dispatch("s6", "replay_buffer_save", nullptr), "s6", REPLAY_NOT_ACTIVE);
	EXPECT_EQ(frontend_double_get_counts().replay_save_calls, 0);
}

TEST_F(ControlActions, ActionWordsMustMatchExactly)
{
	obs_scene_t *home = make_scene("ex-home");
	make_scene("ex-away");
	obs_source_t *mic = make_input("ex-mic");
	obs_sceneitem_t *item = obs_scene_add(home, mic);
	ASSERT_NE(item, nullptr);
	expect_done(dispatch("x0", "scene", "ex-home"), "x0");
	frontend_double_set_replay_buffer_active(true);
	frontend_double_counts before = frontend_double_get_counts();

	const std::vector<std::pair<const char *, const char *>> unknown = {
		{"Scene", "ex-away"},        {"scene ", "ex-away"},          {"scenes", "ex-away"},
		{"SCENE", "ex-away"},        {"hide_source ", "ex-mic"},     {"Mute_source", "ex-mic"},
		{"replay_buffer", nullptr}, {"replay_buffer_off\n", nullptr}, {"", "ex-away"},
	};
	int n = 0;
	for (const auto &command : unknown) {
		std::string id = "x" + std::to_string(++n);
		expect_failed(dispatch(id.c_str(), command.first, command.second), id.c_str(),
			      "unknown OBS control action");
	}
	EXPECT_EQ(log_count("[tollivaren-voice] control Scene 'ex-away' -> failed"), 1u);
	EXPECT_EQ(log_count("[tollivaren-voice] control replay_buffer '' -> failed"), 1u);
	// Control bytes from chat cannot start a forged log line.
	EXPECT_EQ(log_count("[tollivaren-voice] control replay_buffer_off? '' -> failed"), 1u);

	frontend_double_counts after = frontend_double_get_counts();
	EXPECT_EQ(after.set_scene_calls, before.set_scene_calls);
	EXPECT_EQ(after.replay_stop_calls, before.replay_stop_calls);
	EXPECT_EQ(current_scene_name(), "ex-home");
	EXPECT_TRUE(obs_sceneitem_visible(item));
	EXPECT_FALSE(obs_source_muted(mic));
}

} // namespace
