#include "wake_audio.h"

#include <algorithm>

#include <media-io/audio-resampler.h>

namespace {

speaker_layout layout_for_channels(uint32_t channels)
{
	switch (channels) {
	case 1:
		return SPEAKERS_MONO;
	case 2:
		return SPEAKERS_STEREO;
	case 3:
		return SPEAKERS_2POINT1;
	case 4:
		return SPEAKERS_4POINT0;
	case 5:
		return SPEAKERS_4POINT1;
	case 6:
		return SPEAKERS_5POINT1;
	case 8:
		return SPEAKERS_7POINT1;
	default:
		return SPEAKERS_UNKNOWN;
	}
}

// Planar copy of the interleaved samples; unknown layouts become one averaged channel.
std::vector<std::vector<float>> to_planes(const wav_audio &audio, speaker_layout layout)
{
	const uint64_t frames = audio.frames();
	const uint32_t channels = audio.channels;
	if (layout == SPEAKERS_UNKNOWN) {
		std::vector<std::vector<float>> mono(1, std::vector<float>(frames));
		for (uint64_t f = 0; f < frames; f++) {
			float sum = 0.0f;
			for (uint32_t c = 0; c < channels; c++)
				sum += audio.samples[f * channels + c];
			mono[0][f] = sum / (float)channels;
		}
		return mono;
	}
	std::vector<std::vector<float>> planes(channels, std::vector<float>(frames));
	for (uint64_t f = 0; f < frames; f++)
		for (uint32_t c = 0; c < channels; c++)
			planes[c][f] = audio.samples[f * channels + c];
	return planes;
}

} // namespace

bool wake_audio_to_16k_mono(const wav_audio &audio, std::vector<int16_t> *out, std::string *error)
{
	out->clear();
	if (audio.channels == 0 || audio.sample_rate == 0) {
		*error = "audio has no channels or no sample rate";
		return false;
	}

	speaker_layout layout = layout_for_channels(audio.channels);
	std::vector<std::vector<float>> planes = to_planes(audio, layout);
	if (layout == SPEAKERS_UNKNOWN)
		layout = SPEAKERS_MONO;

	resample_info src = {audio.sample_rate, AUDIO_FORMAT_FLOAT_PLANAR, layout};
	resample_info dst = {16000, AUDIO_FORMAT_16BIT, SPEAKERS_MONO};
	audio_resampler_t *resampler = audio_resampler_create(&dst, &src);
	if (!resampler) {
		*error = "audio_resampler_create failed";
		return false;
	}

	const uint64_t frames = audio.frames();
	const uint64_t host_packet = 1024;
	bool ok = true;
	for (uint64_t start = 0; start < frames && ok; start += host_packet) {
		const uint32_t count = (uint32_t)std::min(host_packet, frames - start);
		const uint8_t *input[MAX_AV_PLANES] = {};
		for (size_t c = 0; c < planes.size(); c++)
			input[c] = (const uint8_t *)(planes[c].data() + start);

		uint8_t *output[MAX_AV_PLANES] = {};
		uint32_t out_frames = 0;
		uint64_t ts_offset = 0;
		ok = audio_resampler_resample(resampler, output, &out_frames, &ts_offset, input, count);
		if (ok && output[0])
			out->insert(out->end(), (const int16_t *)output[0], (const int16_t *)output[0] + out_frames);
	}
	audio_resampler_destroy(resampler);
	if (!ok)
		*error = "audio_resampler_resample failed";
	return ok;
}
