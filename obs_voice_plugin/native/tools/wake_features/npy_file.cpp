#include "npy_file.h"

#include <cstdio>

namespace {

bool npy_write(const std::string &path, const char *descr, const void *data, size_t item,
	       const std::vector<uint64_t> &shape)
{
	std::string dims;
	uint64_t count = 1;
	for (uint64_t d : shape) {
		dims += std::to_string(d) + ",";
		count *= d;
	}
	if (shape.size() > 1)
		dims.pop_back();
	std::string header = std::string("{'descr': '") + descr + "', 'fortran_order': False, 'shape': (" + dims + "), }";
	// Magic (6) + version (2) + length (2) + header, padded to 64 with a newline last.
	const size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
	header.append(total - 10 - header.size() - 1, ' ');
	header += '\n';

	FILE *file = fopen(path.c_str(), "wb");
	if (!file)
		return false;
	const unsigned char preamble[10] = {0x93, 'N', 'U', 'M', 'P', 'Y', 1, 0, (unsigned char)(header.size() & 0xff),
					    (unsigned char)(header.size() >> 8)};
	bool ok = fwrite(preamble, 1, 10, file) == 10 && fwrite(header.data(), 1, header.size(), file) == header.size() &&
		  (count == 0 || fwrite(data, item, count, file) == count);
	return fclose(file) == 0 && ok;
}

} // namespace

bool npy_write_f32(const std::string &path, const float *data, const std::vector<uint64_t> &shape)
{
	return npy_write(path, "<f4", data, sizeof(float), shape);
}

bool npy_write_i64(const std::string &path, const int64_t *data, const std::vector<uint64_t> &shape)
{
	return npy_write(path, "<i8", data, sizeof(int64_t), shape);
}
