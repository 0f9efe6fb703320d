#include "fault_support.h"

#include <curl/curl.h>
#include <util/bmem.h>

#include <backend/command_requests.h>
#include <backend/voice_requests.h>

namespace {

// libcurl's global state, once per test program, as the module sets it up.
class curl_environment : public ::testing::Environment {
public:
	void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
	void TearDown() override { curl_global_cleanup(); }
};

::testing::Environment *const curl_env = ::testing::AddGlobalTestEnvironment(new curl_environment);

} // namespace

std::string curl_text(int code)
{
	return curl_easy_strerror((CURLcode)code);
}

local_dashboard *backend_fault_test::dashboard = nullptr;
std::string backend_fault_test::base_url;

void backend_fault_test::SetUpTestSuite()
{
	if (dashboard)
		return;
	dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	base_url = dashboard_base_url(dashboard);
}

void backend_fault_test::TearDownTestSuite()
{
	dashboard_stop(dashboard);
	dashboard = nullptr;
}

void backend_fault_test::SetUp()
{
	ASSERT_NE(dashboard, nullptr);
	dashboard_clear_faults(dashboard);
	dashboard_clear_requests(dashboard);
	tenant = std::string("t-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
	dashboard_add_tenant(dashboard, tenant, KEY);
	allocs_before_ = bnum_allocs();
	endpoints = backend_endpoints_create(base_url.c_str(), tenant.c_str(), KEY);
}

void backend_fault_test::TearDown()
{
	dashboard_clear_faults(dashboard);
	dashboard_set_commands_body(dashboard, tenant, nullptr);
	if (!HasFatalFailure())
		expect_recovered();
	backend_endpoints_destroy(endpoints);
	endpoints = nullptr;
	EXPECT_EQ(bnum_allocs(), allocs_before_) << "host allocations not freed";
	for (const std::string &line : log.lines)
		EXPECT_EQ(line.find(KEY), std::string::npos) << "key in the log: " << line;
}

void backend_fault_test::expect_recovered()
{
	log.clear();
	tenant_settings settings;
	EXPECT_TRUE(backend_ping(endpoints, &settings)) << "ping after recovery";
	tenant_settings_clear(&settings);
	EXPECT_EQ(backend_post_clip(endpoints, 0.9f, "tollivaren clip it", "mic", nullptr), 200);

	const std::string target = "Scene";
	dashboard_queue_command(dashboard, tenant, "recovery-1", "scene", &target);
	control_command commands[4];
	int count = backend_poll_commands(endpoints, commands, 4);
	EXPECT_EQ(count, 1) << "poll after recovery";
	if (count == 1) {
		EXPECT_STREQ(commands[0].id, "recovery-1");
		backend_ack_command(endpoints, commands[0].id, "done", nullptr);
		control_command_clear(&commands[0]);
	}
	auto acks = dashboard_requests(dashboard, "ack");
	ASSERT_FALSE(acks.empty());
	EXPECT_EQ(acks.back().command_id, "recovery-1");
	EXPECT_EQ(acks.back().status, 200);
	EXPECT_EQ(log.plugin_lines(), 0u) << "warnings after recovery";
}

void backend_fault_test::set_fault(const std::string &endpoint, const dashboard_fault &fault)
{
	dashboard_set_fault(dashboard, endpoint, fault);
}

void backend_fault_test::set_commands_body(const std::string &json)
{
	dashboard_set_commands_body(dashboard, tenant, &json);
}

size_t backend_fault_test::warnings(const std::string &text)
{
	return log.count(text);
}
