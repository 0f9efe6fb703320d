#pragma once

#include <cstdint>
#include <string>
#include <vector>

// NumPy .npy (format 1.0, C order, little-endian) writers.
bool npy_write_f32(const std::string &path, const float *data, const std::vector<uint64_t> &shape);
bool npy_write_i64(const std::string &path, const int64_t *data, const std::vector<uint64_t> &shape);
