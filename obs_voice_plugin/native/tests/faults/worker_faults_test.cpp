// The upload worker under a storm of 429 answers whose Retry-After values
// are huge, zero, negative, wrapped or not numbers at all.

#include <chrono>
#include <thread>

#include <util/bmem.h>
#include <util/platform.h>

#include <filter/voice_filter.h>

#include "fault_support.h"
#include "patience.h"

namespace {

const uint64_t SECOND_NS = 1000000000ull;

class worker_faults : public backend_fault_test {
protected:
	void SetUp() override
	{
		backend_fault_test::SetUp();
		filter = static_cast<voice_filter *>(bzalloc(sizeof(voice_filter)));
		pthread_mutex_init(&filter->lock, nullptr);
		os_event_init(&filter->wake_event, OS_EVENT_TYPE_AUTO);
		filter->phrase = bstrdup("tollivaren clip it");
		filter->source_class = bstrdup("mic");
		filter->confidence_min = 0.6f;
		filter->cooldown_ns = 15 * SECOND_NS;
		filter->endpoints = backend_endpoints_create(base_url.c_str(), tenant.c_str(), KEY);
	}

	void TearDown() override
	{
		upload_worker_stop(filter);
		backend_endpoints_destroy(filter->endpoints);
		os_event_destroy(filter->wake_event);
		pthread_mutex_destroy(&filter->lock);
		bfree(filter->phrase);
		bfree(filter->source_class);
		bfree(filter);
		backend_fault_test::TearDown();
	}

	// Raises a trigger and waits until the dashboard has its post (recorded
	// before the worker reads the answer: callers wait for the effect).
	void post_one()
	{
		size_t before = dashboard_count(dashboard, "voice-command");
		pthread_mutex_lock(&filter->lock);
		filter->trigger_score = 0.9f;
		filter->trigger_pending = true;
		os_event_signal(filter->wake_event);
		pthread_mutex_unlock(&filter->lock);
		ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", before + 1, TV_PATIENCE_MS));
	}

	uint64_t cooldown_until()
	{
		pthread_mutex_lock(&filter->lock);
		uint64_t until = filter->cooldown_until_ns;
		pthread_mutex_unlock(&filter->lock);
		return until;
	}

	voice_filter *filter = nullptr;
};

} // namespace

TEST_F(worker_faults, retry_after_storm_only_ever_pushes_the_cooldown_out)
{
	upload_worker_start(filter);
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, TV_PATIENCE_MS));

	struct answer {
		const char *retry_after; // "" for none
		int64_t pushed_s;        // seconds pushed out from the answer; 0 for unchanged
	} storm[] = {
		{"1", 1},
		{"0", 0},
		{"-30", 0},
		{"", 0},
		{"soon", 0},
		{"Wed, 21 Oct 2015 07:28:00 GMT", 0},
		{"2147483648", 0},  // wraps to the most negative 32-bit value
		{"4294967295", 0},  // wraps to -1
		{"4294967296", 0},  // wraps to 0
		{"99999999999", 1215752191}, // wraps to a positive value: about 38 years
		{"120", 0},         // shorter than what is already set
		{"0", 0},
		{"2147483647", 2147483647},
		{"-1", 0},
	};
	uint64_t previous = cooldown_until();
	for (int round = 0; round < 3; round++) {
		for (const answer &a : storm) {
			SCOPED_TRACE(a.retry_after);
			dashboard_fault fault;
			fault.status = 429;
			fault.retry_after = a.retry_after;
			set_fault("voice-command", fault);
			uint64_t before = os_gettime_ns();
			post_one();
			const uint64_t pushed_to = before + (uint64_t)a.pushed_s * SECOND_NS;
			const bool pushes = a.pushed_s && pushed_to > previous;
			if (pushes)
				EXPECT_TRUE(wait_until([&] { return cooldown_until() >= pushed_to; }));
			else // nothing to wait for: give a wrong push the time to show
				std::this_thread::sleep_for(std::chrono::milliseconds(50));
			uint64_t until = cooldown_until();
			if (pushes) {
				EXPECT_GE(until, pushed_to);
				EXPECT_LE(until, os_gettime_ns() + (uint64_t)a.pushed_s * SECOND_NS);
			} else {
				// Unusable values, and values that end sooner than the
				// cooldown already set, change nothing.
				EXPECT_EQ(until, previous);
			}
			EXPECT_GE(until, previous);
			previous = until;
		}
	}
	// No overflow even at the largest value: about 68 years ahead.
	EXPECT_GT(previous, os_gettime_ns() + 2147483000ull * SECOND_NS);

	// The worker is still there and posts normally once the storm is over.
	dashboard_clear_faults(dashboard);
	post_one();
	EXPECT_EQ(dashboard_requests(dashboard, "voice-command").back().status, 200);
	EXPECT_EQ(cooldown_until(), previous);
	EXPECT_EQ(log.plugin_lines(), 0u);
}
