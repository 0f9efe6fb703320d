// Filters under concurrent load in a headless OBS host with the module:
// settings changes by the hundred while audio flows and the control service
// polls, filters created and destroyed while audio flows, and two filters of
// different tenants updated at the same moment. Written to run under
// ThreadSanitizer as well; the host environment checks at the end that every
// host allocation was freed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include <local_dashboard.h>

#include "host_environment.h"
#include "filter_peek.h"
#include "patience.h"

namespace {

auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment);

// Tenants a and b, and one for a filter that is never updated.
const char *const TENANTS[3] = {"stress-a", "stress-b", "stress-steady"};
const char *const KEYS[3] = {"stress-key-a", "stress-key-b", "stress-key-steady"};
// Every paired update loads the detector's three ONNX Runtime sessions, some
// forty times slower under ThreadSanitizer; there a quarter of the rounds
// still interleaves every path, in a minute or two instead of six.
#ifdef __SANITIZE_THREAD__
constexpr int ROUNDS_DIVISOR = 4;
#else
constexpr int ROUNDS_DIVISOR = 1;
#endif

const char ACTIVE[] = "[tollivaren-voice] chat-command OBS control active for tenant=";

// Pushes a tone into a source, 100 ms at a time at the audio clock's pace,
// until stopped.
class audio_feeder {
public:
	explicit audio_feeder(obs_source_t *source) : chunk_(host_sine(0.1, 440.0))
	{
		host_audio_stream_begin(&stream_, source);
		thread_ = std::thread([this] {
			while (!stop_)
				host_audio_stream_push(&stream_, chunk_, 480, true);
		});
	}
	~audio_feeder()
	{
		stop_ = true;
		thread_.join();
	}

private:
	wav_audio chunk_;
	host_audio_stream stream_;
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

class filter_stress : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		dashboard = dashboard_start();
		ASSERT_NE(dashboard, nullptr);
		for (int t = 0; t < 3; t++) {
			dashboard_add_tenant(dashboard, TENANTS[t], KEYS[t]);
			dashboard_set_settings(dashboard, TENANTS[t],
					       "{\"voice_clip_enabled\":true,\"voice_clip_confidence_min\":0.0,"
					       "\"voice_clip_cooldown_seconds\":0,\"voice_clip_allow_mixer_tap\":true}");
			pairings[t] = dashboard_mint_pairing(dashboard, TENANTS[t]);
		}
	}

	static void TearDownTestSuite()
	{
		dashboard_stop(dashboard);
		dashboard = nullptr;
	}

	void SetUp() override
	{
		dashboard_clear_requests(dashboard);
		obs_host_log_clear();
	}

	void TearDown() override
	{
		for (const std::string &line : obs_host_log_lines()) {
			for (int t = 0; t < 3; t++) {
				EXPECT_EQ(line.find(KEYS[t]), std::string::npos) << line;
				EXPECT_EQ(line.find(pairings[t]), std::string::npos) << line;
			}
		}
	}

	// Settings variant v: paired with tenant a or b, or not paired at all,
	// with one of the source classes. Returns whether it pairs.
	static bool make_settings(int v, obs_data_t *settings)
	{
		static const char *const classes[] = {"mic", "mixer", ""};
		const int pairing = v % 3; // 0: a, 1: b, 2: none
		obs_data_set_string(settings, "pairing", pairing == 2 ? "not-a-pairing" : pairings[pairing].c_str());
		obs_data_set_string(settings, "source_class", classes[(v / 3) % 3]);
		return pairing != 2;
	}

	static size_t pings_of(int tenant)
	{
		size_t n = 0;
		for (const dashboard_request &r : dashboard_requests(dashboard, "ping"))
			n += r.tenant_id == TENANTS[tenant];
		return n;
	}

	static local_dashboard *dashboard;
	static std::string pairings[3];
};

local_dashboard *filter_stress::dashboard = nullptr;
std::string filter_stress::pairings[3];

size_t process_thread_count()
{
	namespace fs = std::filesystem;
	return (size_t)std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
}

} // namespace

// Each updater thread owns one filter (the host never updates one source
// from two threads at once); audio flows into every filter, and into one
// more, of its own tenant, that is left alone and keeps scoring and posting
// clips; the control service is re-targeted all along. Every update that
// pairs starts a worker whose first act is a ping, which the next update may
// cancel in flight: tenants a and b get at most one ping per paired update,
// however the threads interleave (plus a refresh per 30 s that a worker
// lives, which only a very slow run sees), and the last update of each filter
// has its ping answered and stored.
TEST_F(filter_stress, hundreds_of_updates_while_audio_flows_and_the_service_polls)
{
	const int FILTERS = 3, UPDATES = 80 / ROUNDS_DIVISOR;
	const auto started = std::chrono::steady_clock::now();
	obs_source_t *inputs[FILTERS + 1];
	obs_source_t *filters[FILTERS + 1];
	for (int f = 0; f <= FILTERS; f++) {
		inputs[f] = obs_host_create_audio_input(("stress input " + std::to_string(f)).c_str());
		obs_data_t *settings = obs_data_create();
		make_settings(0, settings);
		if (f == FILTERS)
			obs_data_set_string(settings, "pairing", pairings[2].c_str());
		filters[f] = obs_host_attach_filter(inputs[f], "tollivaren_voice_filter", "voice", settings);
		obs_data_release(settings);
		ASSERT_NE(filters[f], nullptr);
	}
	std::atomic<int> paired_updates{FILTERS};
	{
		std::vector<std::unique_ptr<audio_feeder>> feeders;
		for (int f = 0; f <= FILTERS; f++)
			feeders.push_back(std::make_unique<audio_feeder>(inputs[f]));
		// The steady filter scores once it has two seconds of audio.
		std::this_thread::sleep_for(std::chrono::milliseconds(2200));
		std::vector<std::thread> updaters;
		for (int f = 0; f < FILTERS; f++) {
			updaters.emplace_back([&, f] {
				for (int i = 1; i <= UPDATES; i++) {
					obs_data_t *settings = obs_data_create();
					// Ends on variant 0 (tenant a) for every filter.
					const bool pairs = make_settings(i == UPDATES ? 0 : i * (f + 1), settings);
					obs_source_update(filters[f], settings);
					obs_data_release(settings);
					paired_updates += pairs;
				}
			});
		}
		for (std::thread &updater : updaters)
			updater.join();
	}
	const char *answer = "{\"voice_clip_enabled\":true,\"voice_clip_confidence_min\":0.0}";
	for (int f = 0; f <= FILTERS; f++)
		EXPECT_TRUE(voice_filter_wait_settings(filters[f], answer)) << "filter " << f << " never refreshed";
	EXPECT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, TV_PATIENCE_MS))
		<< "the steady filter never posted";

	// Left serving tenant a: its next poll comes within one period.
	size_t polls = dashboard_count(dashboard, "commands");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", polls + 1, 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_requests(dashboard, "commands").back().tenant_id, TENANTS[0]);

	for (int f = 0; f <= FILTERS; f++) {
		obs_source_filter_remove(inputs[f], filters[f]);
		obs_source_release(filters[f]);
		obs_source_release(inputs[f]);
	}
	obs_host_flush_destroyed();
	const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
	const size_t pings = pings_of(0) + pings_of(1);
	EXPECT_GE(pings, (size_t)FILTERS);
	EXPECT_LE(pings, (size_t)paired_updates + FILTERS * (size_t)(seconds / 30.0));
	printf("  %d updates (%d paired), %zu pings, %zu clip posts, %.1f s\n", FILTERS * UPDATES + FILTERS + 1,
	       paired_updates.load(), pings, dashboard_count(dashboard, "voice-command"), seconds);
}

TEST_F(filter_stress, filters_created_and_destroyed_while_audio_flows)
{
	const int ROUNDS = 40 / ROUNDS_DIVISOR;
	obs_source_t *input = obs_host_create_audio_input("churn input");
	int paired = 0;
	{
		audio_feeder feeder(input);
		for (int i = 0; i < ROUNDS; i++) {
			obs_data_t *settings = obs_data_create();
			paired += make_settings(i, settings);
			obs_source_t *filter = obs_source_create("tollivaren_voice_filter", "churn", settings, nullptr);
			obs_data_release(settings);
			ASSERT_NE(filter, nullptr);
			// Every other one is attached, so that audio runs through it.
			if (i % 2 == 0) {
				obs_source_filter_add(input, filter);
				std::this_thread::sleep_for(std::chrono::milliseconds(20));
				obs_source_filter_remove(input, filter);
			}
			obs_source_release(filter);
		}
		obs_host_flush_destroyed();
	}
	obs_source_release(input);
	obs_host_flush_destroyed();
	// Each paired filter started a ping; destroying it cancels one in flight.
	EXPECT_LE(dashboard_count(dashboard, "ping"), (size_t)paired);
}

// Two filters, one per tenant, updated at the same instant from two threads,
// round after round. Whichever start wins, the service ends up serving one of
// the two tenants with one poll thread.
TEST_F(filter_stress, two_tenants_updated_at_the_same_moment)
{
	const int ROUNDS = 25 / ROUNDS_DIVISOR;
	obs_source_t *inputs[2];
	obs_source_t *filters[2];
	for (int t = 0; t < 2; t++) {
		inputs[t] = obs_host_create_audio_input(("tenant input " + std::to_string(t)).c_str());
		obs_data_t *settings = obs_data_create();
		make_settings(t, settings);
		filters[t] = obs_host_attach_filter(inputs[t], "tollivaren_voice_filter", "voice", settings);
		obs_data_release(settings);
		ASSERT_NE(filters[t], nullptr);
	}

	std::mutex lock;
	std::condition_variable go;
	int round = 0, ready = 0;
	std::vector<std::thread> threads;
	for (int t = 0; t < 2; t++) {
		threads.emplace_back([&, t] {
			for (int r = 1; r <= ROUNDS; r++) {
				{
					std::unique_lock<std::mutex> guard(lock);
					ready++;
					go.notify_all();
					go.wait(guard, [&] { return round >= r; });
				}
				obs_data_t *settings = obs_data_create();
				make_settings(t + 3 * (r % 3), settings); // same tenant, another source class
				obs_source_update(filters[t], settings);
				obs_data_release(settings);
			}
		});
	}
	for (int r = 1; r <= ROUNDS; r++) {
		std::unique_lock<std::mutex> guard(lock);
		go.wait(guard, [&] { return ready == 2 * r; });
		round = r;
		go.notify_all();
	}
	for (std::thread &thread : threads)
		thread.join();

	// One poll thread: consecutive polls are a whole period apart (two
	// threads would interleave, and one of their gaps would be under 1.5 s).
	// A loaded machine only makes the gaps longer.
	dashboard_clear_requests(dashboard);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 3, 2 * 3000 + TV_PATIENCE_MS));
	auto polls = dashboard_requests(dashboard, "commands");
	for (size_t i = 1; i < polls.size(); i++)
		EXPECT_GE(polls[i].received_ns - polls[i - 1].received_ns, 2500000000ull) << "poll " << i;
	const std::string served = polls[0].tenant_id;
	EXPECT_TRUE(served == TENANTS[0] || served == TENANTS[1]) << served;
	for (const dashboard_request &poll : polls) {
		EXPECT_EQ(poll.tenant_id, served);
		EXPECT_EQ(poll.status, 200);
	}
	EXPECT_GE(obs_host_log_count(ACTIVE), 2u);

	for (int t = 0; t < 2; t++) {
		obs_source_filter_remove(inputs[t], filters[t]);
		obs_source_release(filters[t]);
		obs_source_release(inputs[t]);
	}
	obs_host_flush_destroyed();
}

// libobs runs a filter's update on whatever thread asked for it (OBS's UI
// thread, obs-websocket's request threads, a script), so one filter can be
// updated from several threads at once. Round after round the settings
// change (tenant a, tenant b, not paired, another source class) and several
// threads update the one filter together while audio flows: each update
// stops the worker and starts another, and none may be lost or joined
// twice. Afterwards the process has the threads it had with the filter's
// one worker, and one fewer once the filter is gone.
TEST_F(filter_stress, one_filter_updated_from_many_threads_at_once)
{
	const int THREADS = 4, ROUNDS = 24 / ROUNDS_DIVISOR;
	obs_source_t *input = obs_host_create_audio_input("shared input");
	obs_data_t *initial = obs_data_create();
	make_settings(0, initial);
	obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", initial);
	obs_data_release(initial);
	ASSERT_NE(filter, nullptr);
	{
		audio_feeder feeder(input);
		const size_t threads_with_one_worker = process_thread_count();

		std::mutex lock;
		std::condition_variable changed;
		int round = 0, done = 0;
		std::vector<std::thread> updaters;
		for (int t = 0; t < THREADS; t++) {
			updaters.emplace_back([&] {
				for (int r = 1; r <= ROUNDS; r++) {
					{
						std::unique_lock<std::mutex> guard(lock);
						changed.wait(guard, [&] { return round >= r; });
					}
					// The settings are the source's own, changed only
					// between rounds: libobs does not lock them.
					obs_source_update(filter, nullptr);
					std::lock_guard<std::mutex> guard(lock);
					done++;
					changed.notify_all();
				}
			});
		}
		for (int r = 1; r <= ROUNDS; r++) {
			std::unique_lock<std::mutex> guard(lock);
			changed.wait(guard, [&] { return done == THREADS * (r - 1); });
			obs_data_t *settings = obs_source_get_settings(filter);
			make_settings(r == ROUNDS ? 0 : r, settings); // ends on tenant a
			obs_data_release(settings);
			round = r;
			changed.notify_all();
		}
		for (std::thread &updater : updaters)
			updater.join();

		const char *answer = "{\"voice_clip_enabled\":true,\"voice_clip_confidence_min\":0.0}";
		EXPECT_TRUE(voice_filter_wait_settings(filter, answer)) << "the last worker never refreshed";
		EXPECT_TRUE(wait_until([&] { return process_thread_count() == threads_with_one_worker; }))
			<< process_thread_count() << " threads, " << threads_with_one_worker << " expected";
		EXPECT_TRUE(voice_filter_read(filter, [](voice_filter *f) { return f->worker_running; }));

		obs_source_filter_remove(input, filter);
		obs_source_release(filter);
		obs_host_flush_destroyed();
		EXPECT_TRUE(wait_until([&] { return process_thread_count() == threads_with_one_worker - 1; }))
			<< process_thread_count() << " threads once the filter is gone, "
			<< threads_with_one_worker - 1 << " expected";
	}
	obs_source_release(input);
	obs_host_flush_destroyed();
}
