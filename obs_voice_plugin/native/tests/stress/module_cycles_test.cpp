// The whole host life, several times in one process: start libobs, load
// the module, pair a filter (so the upload worker and the control service
// run), push audio, release everything, shut down. libobs never unloads the
// module's library, so each load finds the statics of the previous one:
// every cycle must come back to no host allocation and no running thread.

#include <chrono>
#include <thread>

#include <local_dashboard.h>

#include "host_environment.h"
#include "patience.h"

namespace {

int cycles_from_environment()
{
	const char *text = getenv("TV_STRESS_CYCLES");
	int cycles = text ? atoi(text) : 0;
	return cycles > 0 ? cycles : 4;
}

} // namespace

TEST(module_cycles, start_pair_and_shut_down_repeatedly_in_one_process)
{
	local_dashboard *dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, "cycles", "cycles-key");
	const std::string pairing = dashboard_mint_pairing(dashboard, "cycles");
	const wav_audio tone = host_sine(2.5, 330.0);
	const int cycles = cycles_from_environment();

	for (int cycle = 0; cycle < cycles; cycle++) {
		SCOPED_TRACE("cycle " + std::to_string(cycle));
		obs_host_options options;
		options.module_path = TV_MODULE_PATH;
		options.data_path = TV_PLUGIN_DATA_DIR;
		obs_host_log_clear();
		ASSERT_TRUE(obs_host_start(options));
		EXPECT_EQ(obs_host_log_count("[tollivaren-voice] loaded v"), 1u);

		size_t pings = dashboard_count(dashboard, "ping");
		size_t polls = dashboard_count(dashboard, "commands");
		obs_source_t *input = obs_host_create_audio_input("cycle input");
		obs_data_t *settings = obs_data_create();
		obs_data_set_string(settings, "pairing", pairing.c_str());
		obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", settings);
		obs_data_release(settings);
		ASSERT_NE(filter, nullptr);
		EXPECT_TRUE(dashboard_wait_count(dashboard, "ping", pings + 1, TV_PATIENCE_MS));
		EXPECT_EQ(obs_host_log_count("[tollivaren-voice] chat-command OBS control active for tenant=cycles"), 1u);
		host_audio_stream stream;
		host_audio_stream_begin(&stream, input);
		host_audio_stream_push(&stream, tone, 1024, false);
		// A poll proves that the control service of the last load runs (each
		// load logged that it became active; waiting for a poll costs 3 s).
		if (cycle + 1 == cycles) {
			EXPECT_TRUE(dashboard_wait_count(dashboard, "commands", polls + 1, 3000 + TV_PATIENCE_MS));
		}

		obs_source_filter_remove(input, filter);
		obs_source_release(filter);
		obs_source_release(input);
		obs_host_flush_destroyed();
		obs_host_shutdown();
		EXPECT_EQ(obs_host_log_count("[tollivaren-voice] unloaded"), 1u);
		EXPECT_EQ(bnum_allocs(), 0) << "host allocations left after shutdown";

	}
	// Nothing of any load still talks to the back-end: a poll thread left
	// behind would poll within 3 s.
	size_t polls = dashboard_count(dashboard, "commands");
	size_t pings = dashboard_count(dashboard, "ping");
	std::this_thread::sleep_for(std::chrono::milliseconds(3500));
	EXPECT_EQ(dashboard_count(dashboard, "commands"), polls);
	EXPECT_EQ(dashboard_count(dashboard, "ping"), pings);
	dashboard_stop(dashboard);
}
