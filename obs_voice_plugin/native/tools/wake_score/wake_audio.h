#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wav_file.h>

// Converts a whole file to what the detector eats, as the filter does it:
// libobs's resampler from float planar at the file's rate and speaker layout
// to 16 kHz mono signed 16-bit, fed in packets of the host's size (1024
// frames). Channel counts without a speaker layout are first averaged to mono.
bool wake_audio_to_16k_mono(const wav_audio &audio, std::vector<int16_t> *out, std::string *error);
