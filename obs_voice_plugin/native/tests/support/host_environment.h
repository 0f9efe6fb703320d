#pragma once

// One headless OBS host per test process: started before the first test with
// the built module loaded, shut down after the last one, and checked for host
// allocations that were never freed.

#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

#include <frontend_double.h>
#include <obs_host.h>
#include <util/bmem.h>

class host_environment : public ::testing::Environment {
public:
	explicit host_environment(std::string data_path = TV_PLUGIN_DATA_DIR) : data_path_(std::move(data_path)) {}

	void SetUp() override
	{
		obs_host_options options;
		options.module_path = TV_MODULE_PATH;
		options.data_path = data_path_;
		options.echo_log = getenv("TV_ECHO_LOG") != nullptr;
		ASSERT_TRUE(obs_host_start(options)) << "headless OBS host did not start";
	}

	void TearDown() override
	{
		obs_host_shutdown();
		EXPECT_EQ(obs_host_log_count("[tollivaren-voice] unloaded"), 1u);
		EXPECT_EQ(bnum_allocs(), 0) << "host allocations left after shutdown";
		char faults[4096];
		frontend_double_faults(faults, sizeof(faults));
		EXPECT_EQ(frontend_double_fault_count(), 0u) << "calls the real OBS window would punish:\n" << faults;
	}

private:
	std::string data_path_;
};

// Audio helpers shared by the host tests.
inline wav_audio host_sine(double seconds, double hz, uint32_t rate = 48000, uint32_t channels = 2)
{
	wav_audio audio;
	audio.sample_rate = rate;
	audio.channels = channels;
	size_t frames = (size_t)(seconds * rate);
	audio.samples.resize(frames * channels);
	for (size_t i = 0; i < frames; i++)
		for (uint32_t c = 0; c < channels; c++)
			audio.samples[i * channels + c] =
				(float)(0.25 * std::sin(2.0 * M_PI * hz * (double)i / rate + c));
	return audio;
}
