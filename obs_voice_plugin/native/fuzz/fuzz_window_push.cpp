// window_push with arbitrary packet sizes on a detector record that has only
// its window (allocated as wake_detector_create does, no sessions), checked
// after every packet against a reference: the newest 32000 samples, in
// order, oldest first.
//
// Input: up to 32 packets of 3 bytes each: a packet length (two bytes, little
// endian, so up to about twice the window) and a seed for its samples.

#include <cstdint>
#include <cstring>
#include <vector>

#include <util/bmem.h>

#include "detector/detector_pass.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	fuzz_log_capture();
	fuzz_alloc_balance balance;

	wake_detector *detector = (wake_detector *)bzalloc(sizeof(*detector));
	detector->window = (float *)bzalloc(WAKE_WINDOW_SAMPLES * sizeof(float));
	detector->window_capacity = WAKE_WINDOW_SAMPLES;

	// Every sample pushed, trimmed now and then; the window's reference is
	// its last min(pushed, 32000) samples.
	std::vector<int16_t> pushed;
	uint64_t total = 0;
	uint32_t sample_state = 1;
	for (size_t pos = 0; pos + 3 <= size && pos < 32 * 3; pos += 3) {
		const uint64_t count = (uint64_t)(data[pos] | data[pos + 1] << 8);
		sample_state ^= (uint32_t)data[pos + 2] << 16;

		// Exact-size packet, so a read past its end is caught.
		std::vector<int16_t> packet(count);
		for (int16_t &sample : packet) {
			sample_state = sample_state * 1664525u + 1013904223u;
			sample = (int16_t)(sample_state >> 16);
		}
		window_push(detector, count ? packet.data() : nullptr, count);
		pushed.insert(pushed.end(), packet.begin(), packet.end());
		total += count;
		if (pushed.size() > 2 * WAKE_WINDOW_SAMPLES)
			pushed.erase(pushed.begin(), pushed.end() - WAKE_WINDOW_SAMPLES);
		const size_t fill = total < WAKE_WINDOW_SAMPLES ? (size_t)total : (size_t)WAKE_WINDOW_SAMPLES;
		const int16_t *newest = pushed.data() + (pushed.size() - fill);

		FUZZ_CHECK(detector->window_capacity == WAKE_WINDOW_SAMPLES, "capacity changed");
		FUZZ_CHECK(detector->window_fill == fill, "fill %llu, expected %zu",
			   (unsigned long long)detector->window_fill, fill);
		for (size_t i = 0; i < fill; i++)
			FUZZ_CHECK(detector->window[i] == (float)newest[i],
				   "window[%zu] = %f, expected %d after a packet of %llu", i, detector->window[i],
				   newest[i], (unsigned long long)count);

		// Without sessions the detector scores nothing and keeps its window.
		float score = wake_detector_process(detector, count ? packet.data() : nullptr, count);
		FUZZ_CHECK(score == WAKE_NO_SCORE, "score %f without sessions", score);
		FUZZ_CHECK(detector->window_fill == fill, "process without sessions changed the window");
	}

	// Also tears down what wake_detector_create left half-built.
	wake_detector_destroy(detector);
	FUZZ_CHECK(fuzz_log_lines().empty(), "logged: %s", fuzz_log_lines()[0].c_str());
	return 0;
}
