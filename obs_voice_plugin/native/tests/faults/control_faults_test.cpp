// The control service's poll thread against a back-end that stops answering
// and comes back, and against command ids that make no sane URL segment.
// The commands use an action no OBS call serves, so no OBS host is needed:
// each is acknowledged "failed" by the dispatcher.

#include <iostream>
#include <memory>
#include <thread>

#include <curl/curl.h>
#include <util/bmem.h>

#include <control/control.h>

#include "fault_support.h"
#include "patience.h"
#include "raw_servers.h"

namespace {

const char POLL_FAILED[] = "[tollivaren-voice] commands poll failed: ";
const char ACK_FAILED[] = "[tollivaren-voice] command ack failed: ";
const char UNKNOWN_ACTION[] = "faults_unknown";

template<typename P> bool wait_for(P predicate, int timeout_ms)
{
	auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	while (!predicate()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return true;
}

class control_faults : public backend_fault_test {
protected:
	void SetUp() override
	{
		backend_fault_test::SetUp();
		control_service_init();
	}

	void TearDown() override
	{
		control_service_shutdown();
		backend_fault_test::TearDown();
	}
};

} // namespace

// Silent first (the poll times out), then the back-end is back on the same
// port: the poll thread, never restarted, serves the next cycle.
TEST_F(control_faults, poll_thread_rides_out_a_silent_back_end_that_comes_back)
{
	auto silent = std::make_unique<silent_listener>();
	const int port = silent->port();
	ASSERT_NE(port, 0);
	const std::string url = silent->base_url();
	control_service_start(url.c_str(), "back", "back-key");

	const std::string timed_out = POLL_FAILED + curl_text(CURLE_OPERATION_TIMEDOUT);
	ASSERT_TRUE(wait_for([&] { return log.count(timed_out) == 1; }, 3000 + 2 * 5000));

	silent.reset();
	local_dashboard *back = dashboard_start(port);
	ASSERT_NE(back, nullptr) << "port " << port << " taken meanwhile";
	dashboard_add_tenant(back, "back", "back-key");
	dashboard_queue_command(back, "back", "after-1", UNKNOWN_ACTION, nullptr);
	EXPECT_TRUE(dashboard_wait_count(back, "ack", 1, 2 * 3000 + 1000));

	double seconds = seconds_of([] { control_service_shutdown(); });
	EXPECT_LT(seconds, 2 * 5.0);
	auto acks = dashboard_requests(back, "ack");
	ASSERT_EQ(acks.size(), 1u);
	EXPECT_EQ(acks[0].command_id, "after-1");
	EXPECT_EQ(acks[0].status, 200);
	EXPECT_EQ(log.count(POLL_FAILED), 1u);
	dashboard_stop(back);
}

// Ids that make no sane URL segment, queued at the dashboard: each is
// acknowledged at its own path (the id percent-encoded as one segment), so
// the dashboard drops it from the queue and nothing is carried out twice; no
// acknowledgement is refused by libcurl or lands at another path with the key.
TEST_F(control_faults, odd_command_ids_are_acknowledged_once_at_their_own_path)
{
	const std::pair<std::string, std::string> ids[] = {
		{"with space", "with%20space"},
		{"tab\there", "tab%09here"},
		{"ctl\001byte", "ctl%01byte"},
		{"line\nbreak", "line%0Abreak"},
		{"del\177", "del%7F"},
		{"q\"uote", "q%22uote"},
		{"pct%2Fenc%", "pct%252Fenc%25"},
		{"caf\xC3\xA9", "caf%C3%A9"},
		{"a/b", "a%2Fb"},
		{"../../t-elsewhere/commands/x", "..%2F..%2Ft-elsewhere%2Fcommands%2Fx"},
		{"..", "%2E%2E"},
		{"frag#ment", "frag%23ment"},
		{"query?x=1", "query%3Fx%3D1"},
		{"ok-1", "ok-1"},
	};
	for (const auto &id : ids)
		dashboard_queue_command(dashboard, tenant, id.first, UNKNOWN_ACTION, nullptr);
	// A target with every odd byte reaches the dispatcher; its log line shows
	// control bytes as '?'.
	const std::string target = "Scene \"1\"/50%\t\001\nnext";
	dashboard_queue_command(dashboard, tenant, "with-target", UNKNOWN_ACTION, &target);
	const size_t queued = sizeof(ids) / sizeof(ids[0]) + 1;
	control_service_start(base_url.c_str(), tenant.c_str(), KEY);

	ASSERT_TRUE(dashboard_wait_count(dashboard, "ack", queued, 3000 + TV_PATIENCE_MS));
	// Two more polls: every acknowledged command has left the queue.
	const size_t polls = dashboard_count(dashboard, "commands");
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", polls + 2, 2 * 3000 + TV_PATIENCE_MS));
	control_service_shutdown();

	auto acks = dashboard_requests(dashboard, "ack");
	EXPECT_EQ(acks.size(), queued) << "a command was carried out again";
	for (const auto &id : ids) {
		size_t seen = 0;
		for (const dashboard_request &r : acks)
			seen += r.command_id == id.second && r.tenant_id == tenant && r.status == 200;
		EXPECT_EQ(seen, 1u) << id.second;
	}
	for (const dashboard_request &r : dashboard_requests(dashboard)) {
		EXPECT_NE(r.endpoint, "other") << r.method << " " << r.path;
		EXPECT_EQ(r.tenant_id, tenant) << r.method << " " << r.path;
	}
	EXPECT_EQ(log.count(ACK_FAILED), 0u);
	EXPECT_EQ(log.count(std::string("[tollivaren-voice] control ") + UNKNOWN_ACTION + " '' -> failed"),
		  queued - 1);
	EXPECT_EQ(log.count(std::string("[tollivaren-voice] control ") + UNKNOWN_ACTION +
			    " 'Scene \"1\"/50%???next' -> failed"),
		  1u);
}
