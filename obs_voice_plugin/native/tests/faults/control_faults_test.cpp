// The control service's poll thread against a back-end that stops answering
// and comes back, and against command ids that make no sane URL segment.
// The commands use an action no OBS call serves, so no OBS host is needed:
// each is acknowledged "failed" by the dispatcher.

#include <iostream>
#include <memory>
#include <thread>

#include <curl/curl.h>
#include <util/bmem.h>

#include <control/control_service.h>

#include "fault_support.h"
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

// The acknowledgement URL is the commands URL, "/", the id verbatim and
// "/ack". libcurl refuses a URL with a blank or a control byte: that ack is
// lost with one warning, and the rest of the cycle and the next polls go on.
TEST_F(control_faults, odd_command_ids_cost_a_warning_at_most)
{
	struct odd_id {
		const char *json; // as written in the answer
		const char *id;   // as decoded
		bool refused_by_libcurl;
	} ids[] = {
		{"with space", "with space", true},
		{"tab\\there", "tab\there", true},
		{"ctl\\u0001byte", "ctl\001byte", true},
		{"line\\nbreak", "line\nbreak", true},
		{"del\\u007f", "del\177", true},
		{"q\\\"uote", "q\"uote", false},
		{"pct%2Fenc%", "pct%2Fenc%", false},
		{"caf\xC3\xA9", "caf\xC3\xA9", false},
		{"a/b", "a/b", false},
		{"../../t-elsewhere/commands/x", "../../t-elsewhere/commands/x", false},
		{"frag#ment", "frag#ment", false},
		{"query?x=1", "query?x=1", false},
		{"ok-1", "ok-1", false},
	};
	std::string body = "{\"commands\":[";
	size_t refused = 0;
	for (const odd_id &id : ids) {
		body += std::string(body.back() == '[' ? "" : ",") + "{\"id\":\"" + id.json + "\",\"action\":\"" +
			UNKNOWN_ACTION + "\"}";
		refused += id.refused_by_libcurl;
	}
	// A target with every odd byte: it reaches the dispatcher and its log
	// line as it is.
	body += std::string(",{\"id\":\"with-target\",\"action\":\"") + UNKNOWN_ACTION +
		"\",\"target\":\"Scene \\\"1\\\"/50%\\t\\u0001\\nnext\"}";
	set_commands_body(body + "]}");
	control_service_start(base_url.c_str(), tenant.c_str(), KEY);

	// The last command of the cycle is acknowledged, then the answer is emptied so
	// that the next poll finds nothing, and the thread keeps polling.
	ASSERT_TRUE(wait_for(
		[&] {
			for (const dashboard_request &r : dashboard_requests(dashboard, "ack"))
				if (r.command_id == "with-target")
					return true;
			return false;
		},
		3000 + 5000));
	dashboard_set_commands_body(dashboard, tenant, nullptr);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "commands", 2, 2 * 3000 + 1000));
	control_service_shutdown();

	EXPECT_EQ(log.count(ACK_FAILED + curl_text(CURLE_URL_MALFORMAT)), refused);
	EXPECT_EQ(log.count(ACK_FAILED), refused);
	EXPECT_EQ(log.count(std::string("[tollivaren-voice] control ") + UNKNOWN_ACTION + " '' -> failed"),
		  sizeof(ids) / sizeof(ids[0]));
	EXPECT_EQ(log.count(std::string("[tollivaren-voice] control ") + UNKNOWN_ACTION +
			    " 'Scene \"1\"/50%???next' -> failed"),
		  1u);

	// Ids made only of bytes a path segment may carry arrive verbatim.
	auto acked = [&](const std::string &id) {
		for (const dashboard_request &r : dashboard_requests(dashboard, "ack"))
			if (r.tenant_id == tenant && r.command_id == id)
				return true;
		return false;
	};
	EXPECT_TRUE(acked("q\"uote"));
	EXPECT_TRUE(acked("pct%2Fenc%"));
	// libcurl percent-encodes bytes above 0x7F itself.
	EXPECT_TRUE(acked("caf%c3%a9"));
	EXPECT_TRUE(acked("ok-1"));
	EXPECT_TRUE(acked("with-target"));

	// Where the others went (a "/", "..", "#" or "?" in the id changes the
	// path the POST and its key header go to); printed for the record.
	for (const dashboard_request &r : dashboard_requests(dashboard))
		if (r.method == "POST")
			std::cout << "  POST " << r.path << " -> " << r.status << "\n";
}
