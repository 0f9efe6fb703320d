#include "detector_test_support.h"

#include <numeric>

#include "bmem_counter.h"

namespace {

std::vector<int16_t> ramp(size_t count, int first)
{
	std::vector<int16_t> samples(count);
	for (size_t i = 0; i < count; i++)
		samples[i] = (int16_t)((first + (int)i) % 30000);
	return samples;
}

// A bare record with a window and no sessions: enough for window_push.
struct bare_window {
	std::vector<float> storage = std::vector<float>(32000, 0.0f);
	wake_detector detector = {};
	bare_window()
	{
		detector.window = storage.data();
		detector.window_capacity = storage.size();
	}
};

} // namespace

TEST(window_push, fills_in_order_then_keeps_the_newest)
{
	bare_window w;
	window_push(&w.detector, ramp(20000, 0).data(), 20000);
	EXPECT_EQ(20000u, w.detector.window_fill);
	EXPECT_EQ(0.0f, w.storage[0]);
	EXPECT_EQ(19999.0f, w.storage[19999]);

	// 15000 more overflow by 3000: the oldest 3000 go, the rest moves to the front.
	window_push(&w.detector, ramp(15000, 20000).data(), 15000);
	EXPECT_EQ(32000u, w.detector.window_fill);
	for (size_t i = 0; i < 32000; i++)
		ASSERT_EQ((float)((3000 + i) % 30000), w.storage[i]) << "at " << i;

	window_push(&w.detector, ramp(1, 7).data(), 1);
	EXPECT_EQ(32000u, w.detector.window_fill);
	EXPECT_EQ(3001.0f, w.storage[0]);
	EXPECT_EQ(7.0f, w.storage[31999]);
}

TEST(window_push, packet_longer_than_the_window_keeps_its_newest_samples)
{
	bare_window w;
	window_push(&w.detector, ramp(100, 500).data(), 100);
	std::vector<int16_t> packet = ramp(40000, 0);
	window_push(&w.detector, packet.data(), packet.size());
	EXPECT_EQ(32000u, w.detector.window_fill);
	for (size_t i = 0; i < 32000; i++)
		ASSERT_EQ((float)packet[8000 + i], w.storage[i]) << "at " << i;
}

TEST(window_push, samples_enter_unscaled)
{
	bare_window w;
	const int16_t extremes[] = {-32768, 32767, -1, 0};
	window_push(&w.detector, extremes, 4);
	EXPECT_EQ(-32768.0f, w.storage[0]);
	EXPECT_EQ(32767.0f, w.storage[1]);
	EXPECT_EQ(-1.0f, w.storage[2]);
	EXPECT_EQ(0.0f, w.storage[3]);
}

// Tiny stand-in models whose classifier always says 0.87, so a return value
// tells exactly whether a pass ran.
class detector_feeding : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_FALSE(tiny_models_dir().empty()) << "make_tiny_models.py failed";
		models = std::make_unique<model_set>(tiny_model("mel_frames_196"), tiny_model("embedding_head"),
						     tiny_model("classifier_constant"));
		detector = wake_detector_create(models->dir.path().c_str(), "test_classifier");
		ASSERT_NE(nullptr, detector);
	}
	void TearDown() override { wake_detector_destroy(detector); }

	float feed(size_t count, int first = 0) { return wake_detector_process(detector, ramp(count, first).data(), count); }

	// Fills the window and runs the first pass.
	void prime()
	{
		ASSERT_EQ(0.87f, feed(32000));
		ASSERT_EQ(0u, detector->samples_since_score);
	}

	std::unique_ptr<model_set> models;
	wake_detector *detector = nullptr;
};

TEST_F(detector_feeding, packet_that_fills_the_window_scores_at_once)
{
	for (int i = 0; i < 31; i++)
		ASSERT_EQ(-1.0f, feed(1000)) << "packet " << i;
	EXPECT_EQ(-1.0f, feed(999));
	EXPECT_EQ(31999u, detector->window_fill);
	EXPECT_EQ(31999u, detector->samples_since_score);
	EXPECT_EQ(0.87f, feed(1));
	EXPECT_EQ(0u, detector->samples_since_score);
}

TEST_F(detector_feeding, long_first_packet_scores_at_once_over_its_newest_samples)
{
	EXPECT_EQ(0.87f, feed(40000, 11));
	EXPECT_EQ(32000u, detector->window_fill);
	EXPECT_EQ((float)(11 + 8000), detector->window[0]);
	EXPECT_EQ((float)((11 + 39999) % 30000), detector->window[31999]);
}

TEST_F(detector_feeding, passes_come_after_each_1280_samples_without_carry_over)
{
	prime();
	std::vector<float> scores;
	for (int i = 0; i < 4; i++)
		scores.push_back(feed(1000));
	EXPECT_EQ((std::vector<float>{-1.0f, 0.87f, -1.0f, 0.87f}), scores);

	scores.clear();
	for (int i = 0; i < 3; i++)
		scores.push_back(feed(1280));
	EXPECT_EQ((std::vector<float>{0.87f, 0.87f, 0.87f}), scores);

	scores.clear();
	for (int i = 0; i < 4; i++)
		scores.push_back(feed(1279));
	EXPECT_EQ((std::vector<float>{-1.0f, 0.87f, -1.0f, 0.87f}), scores);
}

TEST_F(detector_feeding, empty_or_missing_input_changes_nothing)
{
	EXPECT_EQ(-1.0f, feed(500, 3));
	std::vector<float> before(detector->window, detector->window + 32000);
	int16_t sample = 9;

	EXPECT_EQ(-1.0f, wake_detector_process(detector, &sample, 0));
	EXPECT_EQ(-1.0f, wake_detector_process(detector, nullptr, 2000));
	EXPECT_EQ(-1.0f, wake_detector_process(nullptr, &sample, 1));
	EXPECT_EQ(500u, detector->window_fill);
	EXPECT_EQ(500u, detector->samples_since_score);
	EXPECT_EQ(before, std::vector<float>(detector->window, detector->window + 32000));
}

TEST_F(detector_feeding, feeding_and_scoring_take_nothing_from_the_host_allocator)
{
	prime();
	bmem_counter_reset();
	int passes = 0;
	for (int i = 0; i < 20; i++)
		passes += feed(700, i) == 0.87f;
	EXPECT_EQ(10, passes);
	EXPECT_EQ(0u, bmem_counter_calls());
}
