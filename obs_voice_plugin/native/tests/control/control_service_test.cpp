// The process-wide poll service in real time against the local dashboard.
// The service is one static record, so the cases run in order, each between
// an init and a shutdown of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <obs.h>
#include <util/bmem.h>

#include "control/control.h"
#include "failing_threads.h"
#include "frontend_double.h"
#include "local_dashboard.h"
#include "obs_host.h"
#include "patience.h"

namespace {

const char ACTIVE_LINE[] = "[tollivaren-voice] chat-command OBS control active for tenant=";
const char POLL_FAILED_LINE[] = "[tollivaren-voice] commands poll failed: ";
const uint64_t SECOND_NS = 1000000000ull;

local_dashboard *dashboard = nullptr;
std::string base_url;

class ServiceEnvironment : public ::testing::Environment {
public:
	void SetUp() override
	{
		ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
		ASSERT_TRUE(obs_host_start(obs_host_options{}));
		dashboard = dashboard_start(0);
		ASSERT_NE(dashboard, nullptr);
		base_url = dashboard_base_url(dashboard);
		dashboard_add_tenant(dashboard, "t1", "k1");
		dashboard_add_tenant(dashboard, "t2", "k2");
		dashboard_add_tenant(dashboard, "t0", "k0"); // left with a command nobody acknowledges
	}

	void TearDown() override
	{
		dashboard_stop(dashboard);
		obs_host_shutdown();
		curl_global_cleanup();
		EXPECT_EQ(bnum_allocs(), 0) << "host allocations never freed";
		char faults[4096];
		frontend_double_faults(faults, sizeof(faults));
		EXPECT_EQ(frontend_double_fault_count(), 0u) << faults;
	}
};

[[maybe_unused]] const auto *environment = ::testing::AddGlobalTestEnvironment(new ServiceEnvironment);

uint64_t now_ns()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

void sleep_ms(int ms)
{
	std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double seconds_between(uint64_t from_ns, uint64_t to_ns)
{
	return (double)((int64_t)(to_ns - from_ns)) / 1e9;
}

void queue(const char *tenant, const std::string &id, const char *action)
{
	dashboard_queue_command(dashboard, tenant, id, action, nullptr);
}

std::vector<dashboard_request> polls_and_acks()
{
	std::vector<dashboard_request> out;
	for (const dashboard_request &r : dashboard_requests(dashboard))
		if (r.endpoint == "commands" || r.endpoint == "ack")
			out.push_back(r);
	return out;
}

std::string key_of(const dashboard_request &r)
{
	auto it = r.headers.find("x-tollivaren-plugin-key");
	return it == r.headers.end() ? "" : it->second;
}

class ControlService : public ::testing::Test {
protected:
	void SetUp() override
	{
		dashboard_clear_faults(dashboard);
		dashboard_clear_requests(dashboard);
		frontend_double_reset();
		obs_host_log_clear();
		control_service_init();
	}

	void TearDown() override { control_service_shutdown(); }
};

// Runs first: nothing has initialised the service yet.
TEST(ControlServiceUninitialised, CallsOutsideInitAndShutdownDoNothing)
{
	obs_host_log_clear();
	dashboard_clear_requests(dashboard);

	control_service_shutdown();
	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count(ACTIVE_LINE), 0u);

	control_service_init();
	control_service_shutdown();
	control_service_shutdown();
	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count(ACTIVE_LINE), 0u);

	sleep_ms(3500);
	EXPECT_EQ(dashboard_count(dashboard, "commands"), 0u);
}

TEST_F(ControlService, FirstPollAfterThreeSecondsAndSameTenantKeepsItsThread)
{
	control_service_init(); // a second init is harmless
	uint64_t started = now_ns();
	control_service_start(base_url.c_str(), "t1", "k1");
	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t1"), 1u);

	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 2, 2 * 3000 + TV_PATIENCE_MS));
	std::vector<dashboard_request> polls = dashboard_requests(dashboard, "commands");
	// A wait never ends early; a loaded machine may make it end late.
	double first = seconds_between(started, polls[0].received_ns);
	EXPECT_GE(first, 2.5);
	EXPECT_LE(first, 3.0 + TV_PATIENCE_MS / 1000.0);
	EXPECT_GE(seconds_between(polls[0].received_ns, polls[1].received_ns), 2.5);
	for (const dashboard_request &poll : polls) {
		EXPECT_EQ(poll.path, "/obs/t1/commands");
		EXPECT_EQ(key_of(poll), "k1");
		EXPECT_EQ(poll.status, 200);
	}
	EXPECT_EQ(obs_host_log_count(ACTIVE_LINE), 1u);
}

TEST_F(ControlService, StartForAnotherTenantSwitchesAndInvalidStartsChangeNothing)
{
	control_service_start(base_url.c_str(), "t0", "k0");
	queue("t0", "old-1", "replay_buffer_off");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 1, 3000 + TV_PATIENCE_MS));

	queue("t0", "old-2", "replay_buffer_off");
	control_service_start(base_url.c_str(), "t2", "k2");
	const std::string url = base_url;
	control_service_start(nullptr, "t3", "k3");
	control_service_start("", "t3", "k3");
	control_service_start(url.c_str(), nullptr, "k3");
	control_service_start(url.c_str(), "", "k3");
	control_service_start(url.c_str(), "t3", nullptr);
	control_service_start(url.c_str(), "t3", "");
	queue("t2", "new-1", "replay_buffer_off");

	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 2, 3000 + TV_PATIENCE_MS));
	// From its first request for t2 on, the poll thread serves only t2.
	const size_t polls = dashboard_count(dashboard, "commands");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", polls + 1, 3000 + TV_PATIENCE_MS));
	size_t t2_polls = 0;
	bool serving_t2 = false;
	for (const dashboard_request &r : polls_and_acks()) {
		serving_t2 = serving_t2 || r.tenant_id == "t2";
		if (!serving_t2)
			continue;
		EXPECT_EQ(r.tenant_id, "t2") << r.path;
		EXPECT_EQ(key_of(r), "k2");
		t2_polls += r.endpoint == "commands";
	}
	EXPECT_GE(t2_polls, 2u);
	std::vector<dashboard_request> acks = dashboard_requests(dashboard, "ack");
	ASSERT_EQ(acks.size(), 2u);
	EXPECT_EQ(acks[1].path, "/obs/t2/commands/new-1/ack");
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t0"), 1u);
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t2"), 1u);
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t3"), 0u);
}

// A streamer who rotates a leaked key re-pastes the pairing: same tenant,
// new key. Until then the dashboard refuses the old key (one warning for the
// whole run of refusals); the new pairing is handed over as another tenant's
// is, and from the next cycle every poll carries the new key. A new server
// for the same tenant is handed over the same way, and an identical pairing
// changes nothing and logs nothing.
TEST_F(ControlService, NewKeyOrServerForTheSameTenantIsHandedOver)
{
	const char REFUSED_LINE[] = "[tollivaren-voice] the dashboard refused the commands poll (HTTP 401)";
	control_service_start(base_url.c_str(), "t1", "k1");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 1, 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(key_of(dashboard_requests(dashboard, "commands")[0]), "k1");

	dashboard_add_tenant(dashboard, "t1", "k1-rotated");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 3, 2 * 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_requests(dashboard, "commands")[2].status, 401);
	EXPECT_EQ(obs_host_log_count(REFUSED_LINE), 1u);

	control_service_start(base_url.c_str(), "t1", "k1-rotated");
	control_service_start(base_url.c_str(), "t1", "k1-rotated");
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t1"), 2u);
	const size_t before = dashboard_count(dashboard, "commands");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", before + 2, 2 * 3000 + TV_PATIENCE_MS));
	std::vector<dashboard_request> polls = dashboard_requests(dashboard, "commands");
	for (size_t i = before; i < polls.size(); i++) {
		EXPECT_EQ(key_of(polls[i]), "k1-rotated") << i;
		EXPECT_EQ(polls[i].status, 200) << i;
	}

	// The same tenant at another server, then back.
	local_dashboard *other = dashboard_start(0);
	ASSERT_NE(other, nullptr);
	dashboard_add_tenant(other, "t1", "k1-rotated");
	const std::string other_url = dashboard_base_url(other);
	control_service_start(other_url.c_str(), "t1", "k1-rotated");
	EXPECT_TRUE(dashboard_wait_count(other, "commands", 2, 2 * 3000 + TV_PATIENCE_MS));
	control_service_start(base_url.c_str(), "t1", "k1-rotated");
	const size_t elsewhere = dashboard_count(other, "commands");
	const size_t here = dashboard_count(dashboard, "commands");
	EXPECT_TRUE(dashboard_wait_count(dashboard, "commands", here + 1, 2 * 3000 + TV_PATIENCE_MS));
	EXPECT_LE(dashboard_count(other, "commands"), elsewhere + 1); // a cycle under way may end there
	dashboard_stop(other);
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t1"), 4u);
	EXPECT_EQ(obs_host_log_count(REFUSED_LINE), 1u);
	for (const std::string &line : obs_host_log_lines())
		EXPECT_EQ(line.find("k1-rotated"), std::string::npos) << line;

	dashboard_add_tenant(dashboard, "t1", "k1");
}

// A start for another tenant never waits for the cycle under way, which
// finishes with the old tenant's endpoints: the filter update that calls it
// may run on OBS's UI thread, which the poll thread may itself be waiting for.
TEST_F(ControlService, SwitchingTenantDoesNotWaitForTheCycleUnderWay)
{
	dashboard_fault slow_ack;
	slow_ack.delay_ms = 3000;
	dashboard_set_fault(dashboard, "ack", slow_ack);
	queue("t1", "slow-1", "replay_buffer_off");
	queue("t1", "slow-2", "replay_buffer_off");
	control_service_start(base_url.c_str(), "t1", "k1");
	ASSERT_TRUE(dashboard_wait_arrivals(dashboard, "ack", 1, 3000 + TV_PATIENCE_MS));

	uint64_t before = now_ns();
	control_service_start(base_url.c_str(), "t2", "k2");
	// The cycle under way needs about 5 s more; the switch itself nothing.
	EXPECT_LT(seconds_between(before, now_ns()), 2.0);
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t2"), 1u);

	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 2, 2 * 3000 + TV_PATIENCE_MS));
	for (const dashboard_request &ack : dashboard_requests(dashboard, "ack")) {
		EXPECT_EQ(ack.tenant_id, "t1");
		EXPECT_EQ(key_of(ack), "k1");
	}
	ASSERT_TRUE(wait_until(
		[] {
			for (const dashboard_request &r : dashboard_requests(dashboard, "commands"))
				if (r.tenant_id == "t2")
					return key_of(r) == "k2";
			return false;
		},
		3000 + TV_PATIENCE_MS));
}

// The system refuses the poll thread: one error line, the tenant is kept,
// and the next start, even for the same tenant, creates the thread.
TEST_F(ControlService, RefusedPollThreadIsCreatedByTheNextStart)
{
	failing_threads_next(1);
	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] failed to start OBS control poll thread"), 1u);
	EXPECT_EQ(obs_host_log_count(ACTIVE_LINE), 0u);

	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count(std::string(ACTIVE_LINE) + "t1"), 1u);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 1, 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_requests(dashboard, "commands")[0].tenant_id, "t1");
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] failed to start OBS control poll thread"), 1u);
}

TEST_F(ControlService, ShutdownDuringACycleCarriesOutEveryFetchedCommand)
{
	dashboard_fault slow_ack;
	slow_ack.delay_ms = 1000;
	dashboard_set_fault(dashboard, "ack", slow_ack);
	queue("t1", "s1", "replay_buffer_on");
	queue("t1", "s2", "replay_buffer_save");
	queue("t1", "s3", "no_such_action");
	control_service_start(base_url.c_str(), "t1", "k1");

	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 1, 3000 + TV_PATIENCE_MS));
	uint64_t before = now_ns();
	control_service_shutdown();
	double took = seconds_between(before, now_ns());

	EXPECT_GE(took, 2.0); // it waited for the three slow acknowledgements
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 3, 1000));
	std::vector<dashboard_request> acks = dashboard_requests(dashboard, "ack");
	ASSERT_EQ(acks.size(), 3u);
	EXPECT_EQ(acks[0].command_id, "s1");
	EXPECT_EQ(acks[1].command_id, "s2");
	EXPECT_EQ(acks[2].command_id, "s3");
	EXPECT_NE(acks[1].body.find("\"done\""), std::string::npos) << acks[1].body;
	EXPECT_NE(acks[2].body.find("unknown OBS control action"), std::string::npos) << acks[2].body;
	EXPECT_EQ(frontend_double_get_counts().replay_save_calls, 1);

	sleep_ms(500);
	EXPECT_EQ(dashboard_count(dashboard, "commands"), 1u);

	// Started again only after a fresh init.
	control_service_start(base_url.c_str(), "t1", "k1");
	EXPECT_EQ(obs_host_log_count(ACTIVE_LINE), 1u);
}

TEST_F(ControlService, ServesAtMostTwentyCommandsPerCycle)
{
	char id[16];
	for (int i = 1; i <= 25; i++) {
		snprintf(id, sizeof(id), "q%02d", i);
		queue("t1", id, "replay_buffer_off");
	}
	control_service_start(base_url.c_str(), "t1", "k1");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 25, 2 * 3000 + TV_PATIENCE_MS));

	std::vector<dashboard_request> seen = polls_and_acks();
	ASSERT_GE(seen.size(), 27u);
	int next = 1;
	for (size_t i = 0; i < 27; i++) {
		if (i == 0 || i == 21) {
			EXPECT_EQ(seen[i].endpoint, "commands") << i;
			continue;
		}
		snprintf(id, sizeof(id), "q%02d", next++);
		EXPECT_EQ(seen[i].endpoint, "ack") << i;
		EXPECT_EQ(seen[i].command_id, id);
	}
	// The next cycle begins a full wait after the previous one ended.
	EXPECT_GE(seconds_between(seen[20].received_ns, seen[21].received_ns), 2.5);
}

TEST_F(ControlService, FailingBackEndCostsAtMostOneWarningPerCycle)
{
	local_dashboard *gone = dashboard_start(0);
	ASSERT_NE(gone, nullptr);
	std::string closed_url = dashboard_base_url(gone);
	dashboard_stop(gone);

	uint64_t started = now_ns();
	control_service_start(closed_url.c_str(), "down", "k");
	ASSERT_TRUE(obs_host_wait_log(POLL_FAILED_LINE, 2, 2 * 3000 + TV_PATIENCE_MS));
	sleep_ms(300);
	double elapsed = seconds_between(started, now_ns());
	EXPECT_LE(obs_host_log_count(POLL_FAILED_LINE), (size_t)(elapsed / 3.0));

	// The dashboard answers garbage, then 500, then behaves: no warnings,
	// the polls go on, and the queued command is served in the end.
	obs_host_log_clear();
	dashboard_fault garbage;
	garbage.status = 200;
	garbage.body = "not json";
	garbage.times = 1;
	dashboard_set_fault(dashboard, "commands", garbage);
	queue("t1", "late", "replay_buffer_off");
	control_service_start(base_url.c_str(), "t1", "k1");

	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 1, 3000 + TV_PATIENCE_MS));
	dashboard_fault broken;
	broken.status = 500;
	broken.times = 1;
	dashboard_set_fault(dashboard, "commands", broken);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 2, 3000 + TV_PATIENCE_MS));
	EXPECT_EQ(dashboard_count(dashboard, "ack"), 0u);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", 1, 3000 + TV_PATIENCE_MS));

	std::vector<dashboard_request> polls = dashboard_requests(dashboard, "commands");
	ASSERT_GE(polls.size(), 3u);
	EXPECT_EQ(polls[1].status, 500);
	EXPECT_EQ(polls[2].status, 200);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] commands poll failed"), 0u);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] command ack failed"), 0u);
}

// Filters updated at the same moment on several host threads: whatever the
// interleaving, one poll thread is left serving one tenant.
TEST_F(ControlService, ConcurrentStartsLeaveOnePollThread)
{
	std::vector<std::thread> updaters;
	for (int t = 0; t < 4; t++) {
		updaters.emplace_back([t] {
			for (int i = 0; i < 10; i++) {
				const bool first = (i + t) % 2 == 0;
				control_service_start(base_url.c_str(), first ? "t1" : "t2", first ? "k1" : "k2");
			}
		});
	}
	for (std::thread &updater : updaters)
		updater.join();
	dashboard_clear_requests(dashboard);

	// One poll thread: consecutive polls a whole period apart, one tenant.
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 3, 2 * 3000 + TV_PATIENCE_MS));
	std::vector<dashboard_request> polls = dashboard_requests(dashboard, "commands");
	for (size_t i = 1; i < polls.size(); i++) {
		EXPECT_GE(seconds_between(polls[i - 1].received_ns, polls[i].received_ns), 2.5) << i;
		EXPECT_EQ(polls[i].tenant_id, polls[0].tenant_id);
	}
	EXPECT_EQ(polls[0].status, 200);
	EXPECT_GE(obs_host_log_count(ACTIVE_LINE), 2u);
}

} // namespace
