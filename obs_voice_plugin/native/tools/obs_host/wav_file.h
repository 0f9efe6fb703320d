#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A whole audio file in memory: interleaved float samples in [-1, 1].
struct wav_audio {
	uint32_t sample_rate = 0;
	uint32_t channels = 0;
	std::vector<float> samples; // frames * channels, interleaved

	uint64_t frames() const { return channels ? samples.size() / channels : 0; }
};

// Reads RIFF/WAVE with 8/16/24/32-bit PCM or 32-bit float samples.
bool wav_read(const std::string &path, wav_audio *out, std::string *error);
// Writes 16-bit PCM.
bool wav_write_pcm16(const std::string &path, const wav_audio &audio);
