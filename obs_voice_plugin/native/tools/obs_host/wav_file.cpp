#include "wav_file.h"

#include <cmath>
#include <cstring>
#include <fstream>

namespace {

uint32_t le32(const unsigned char *p)
{
	return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t le16(const unsigned char *p)
{
	return (uint16_t)(p[0] | (p[1] << 8));
}

bool fail(std::string *error, const std::string &why)
{
	if (error)
		*error = why;
	return false;
}

} // namespace

bool wav_read(const std::string &path, wav_audio *out, std::string *error)
{
	std::ifstream in(path, std::ios::binary);
	if (!in)
		return fail(error, "cannot open " + path);
	std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) != 0 || memcmp(bytes.data() + 8, "WAVE", 4) != 0)
		return fail(error, path + " is not a RIFF/WAVE file");

	uint16_t format = 0, channels = 0, bits = 0;
	uint32_t rate = 0;
	const unsigned char *data = nullptr;
	size_t data_size = 0;
	for (size_t pos = 12; pos + 8 <= bytes.size();) {
		const unsigned char *chunk = bytes.data() + pos;
		size_t size = le32(chunk + 4);
		size_t avail = bytes.size() - pos - 8;
		if (size > avail)
			size = avail; // streamed files may carry a bogus data size
		if (memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
			format = le16(chunk + 8);
			channels = le16(chunk + 10);
			rate = le32(chunk + 12);
			bits = le16(chunk + 22);
			if (format == 0xFFFE && size >= 26)
				format = le16(chunk + 32); // WAVE_FORMAT_EXTENSIBLE: sub-format
		} else if (memcmp(chunk, "data", 4) == 0) {
			data = chunk + 8;
			data_size = size;
		}
		pos += 8 + size + (size & 1);
	}
	if (!data || channels == 0 || rate == 0)
		return fail(error, path + ": no fmt or data chunk");
	bool is_float = format == 3 && bits == 32;
	if (!is_float && !(format == 1 && (bits == 8 || bits == 16 || bits == 24 || bits == 32)))
		return fail(error, path + ": unsupported sample format");

	size_t width = bits / 8;
	size_t count = data_size / width;
	count -= count % channels;
	out->sample_rate = rate;
	out->channels = channels;
	out->samples.resize(count);
	for (size_t i = 0; i < count; i++) {
		const unsigned char *p = data + i * width;
		float v;
		if (is_float) {
			memcpy(&v, p, 4);
		} else if (bits == 8) {
			v = (p[0] - 128) / 128.0f;
		} else if (bits == 16) {
			v = (int16_t)le16(p) / 32768.0f;
		} else if (bits == 24) {
			int32_t s = (int32_t)((uint32_t)p[0] << 8 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 24) >> 8;
			v = s / 8388608.0f;
		} else {
			v = (int32_t)le32(p) / 2147483648.0f;
		}
		out->samples[i] = v;
	}
	return true;
}

bool wav_write_pcm16(const std::string &path, const wav_audio &audio)
{
	std::ofstream out(path, std::ios::binary);
	if (!out)
		return false;
	uint32_t data_size = (uint32_t)(audio.samples.size() * 2);
	auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char *>(&v), 4); };
	auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char *>(&v), 2); };
	out.write("RIFF", 4);
	put32(36 + data_size);
	out.write("WAVEfmt ", 8);
	put32(16);
	put16(1);
	put16((uint16_t)audio.channels);
	put32(audio.sample_rate);
	put32(audio.sample_rate * audio.channels * 2);
	put16((uint16_t)(audio.channels * 2));
	put16(16);
	out.write("data", 4);
	put32(data_size);
	for (float s : audio.samples) {
		float c = std::fmax(-1.0f, std::fmin(1.0f, s));
		put16((uint16_t)(int16_t)std::lrint(c * 32767.0f));
	}
	return (bool)out;
}
