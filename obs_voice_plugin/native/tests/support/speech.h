#pragma once

// Speech for tests, made with espeak-ng at run time.

#include <cstdlib>
#include <filesystem>
#include <string>

#include <wav_file.h>

// Speaks text into a WAV file in the temp dir and reads it back; false when
// espeak-ng is missing or fails.
inline bool speech_make(const std::string &text, const std::string &voice_options, wav_audio *out)
{
	namespace fs = std::filesystem;
	static int counter = 0;
	fs::path path = fs::temp_directory_path() /
			("tv-speech-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + ".wav");
	std::string command = "espeak-ng " + voice_options + " -w '" + path.string() + "' '" + text + "'";
	bool ok = system(command.c_str()) == 0 && wav_read(path.string(), out, nullptr);
	fs::remove(path);
	return ok;
}

// Silence, then the speech, then silence, at the speech's own rate.
inline wav_audio speech_padded(const wav_audio &speech, double before_s, double after_s)
{
	wav_audio out;
	out.sample_rate = speech.sample_rate;
	out.channels = speech.channels;
	out.samples.assign((size_t)(before_s * speech.sample_rate) * speech.channels, 0.0f);
	out.samples.insert(out.samples.end(), speech.samples.begin(), speech.samples.end());
	out.samples.resize(out.samples.size() + (size_t)(after_s * speech.sample_rate) * speech.channels, 0.0f);
	return out;
}
