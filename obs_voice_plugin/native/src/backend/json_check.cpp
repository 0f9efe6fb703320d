#include "json_check.h"

#include <cstring>

// A strict RFC 8259 reader with the host reader's extra limits: no "\u0000",
// no lone surrogates, well-formed UTF-8 only, integers within 64 bits, finite
// reals, and a bounded nesting depth.

namespace {

const int MAX_DEPTH = 2000;

// Reals with a decimal exponent of 308 or more may not fit in a double; the
// reader refuses those that do not, so all of them are refused here.
const long MAX_DECIMAL_EXPONENT = 307;

typedef const unsigned char *cursor;

bool is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

void skip_blanks(cursor *p)
{
	while (**p == ' ' || **p == '\t' || **p == '\n' || **p == '\r')
		(*p)++;
}

bool read_hex4(cursor p, unsigned *out)
{
	unsigned value = 0;
	for (int i = 0; i < 4; i++) {
		unsigned char c = p[i];
		unsigned digit;
		if (is_digit(c))
			digit = c - '0';
		else if (c >= 'a' && c <= 'f')
			digit = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			digit = c - 'A' + 10;
		else
			return false;
		value = value * 16 + digit;
	}
	*out = value;
	return true;
}

// One multi-byte UTF-8 sequence: no overlong forms, no surrogates, nothing
// above U+10FFFF.
bool read_utf8(cursor *p)
{
	unsigned char first = **p;
	int extra;
	unsigned code;
	if (first >= 0xC2 && first <= 0xDF) {
		extra = 1;
		code = first & 0x1F;
	} else if (first >= 0xE0 && first <= 0xEF) {
		extra = 2;
		code = first & 0x0F;
	} else if (first >= 0xF0 && first <= 0xF4) {
		extra = 3;
		code = first & 0x07;
	} else {
		return false;
	}
	for (int i = 1; i <= extra; i++) {
		unsigned char next = (*p)[i];
		if ((next & 0xC0) != 0x80)
			return false;
		code = (code << 6) | (next & 0x3F);
	}
	if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
	    (code >= 0xD800 && code <= 0xDFFF))
		return false;
	*p += extra + 1;
	return true;
}

bool read_unicode_escape(cursor *p)
{
	unsigned code;
	if (!read_hex4(*p + 2, &code) || code == 0 || (code >= 0xDC00 && code <= 0xDFFF))
		return false;
	*p += 6;
	if (code < 0xD800 || code > 0xDBFF)
		return true;
	unsigned low;
	if ((*p)[0] != '\\' || (*p)[1] != 'u' || !read_hex4(*p + 2, &low) || low < 0xDC00 || low > 0xDFFF)
		return false;
	*p += 6;
	return true;
}

bool read_string(cursor *p)
{
	(*p)++;
	for (;;) {
		unsigned char c = **p;
		if (c == '"') {
			(*p)++;
			return true;
		}
		if (c < 0x20) // control characters, and the end of the text
			return false;
		if (c == '\\') {
			unsigned char escaped = (*p)[1];
			if (escaped == 'u') {
				if (!read_unicode_escape(p))
					return false;
			} else if (escaped && strchr("\"\\/bfnrt", escaped)) {
				*p += 2;
			} else {
				return false;
			}
		} else if (c >= 0x80) {
			if (!read_utf8(p))
				return false;
		} else {
			(*p)++;
		}
	}
}

bool integer_fits(cursor digits, size_t count, bool negative)
{
	const char *limit = negative ? "9223372036854775808" : "9223372036854775807";
	size_t limit_digits = strlen(limit);
	if (count != limit_digits)
		return count < limit_digits;
	return memcmp(digits, limit, count) <= 0;
}

bool read_number(cursor *p)
{
	bool negative = **p == '-';
	if (negative)
		(*p)++;
	cursor digits = *p;
	if (**p == '0')
		(*p)++;
	else if (is_digit(**p))
		while (is_digit(**p))
			(*p)++;
	else
		return false;
	size_t integer_digits = (size_t)(*p - digits);

	// Decimal exponent of the first significant digit, if any.
	long magnitude = 0;
	bool significant = false;
	for (size_t i = 0; i < integer_digits && !significant; i++)
		if (digits[i] != '0') {
			significant = true;
			magnitude = (long)(integer_digits - 1 - i);
		}
	bool real = false;
	if (**p == '.') {
		real = true;
		(*p)++;
		if (!is_digit(**p))
			return false;
		for (long place = 1; is_digit(**p); place++, (*p)++)
			if (!significant && **p != '0') {
				significant = true;
				magnitude = -place;
			}
	}
	if (**p == 'e' || **p == 'E') {
		real = true;
		(*p)++;
		bool exponent_negative = **p == '-';
		if (**p == '+' || **p == '-')
			(*p)++;
		if (!is_digit(**p))
			return false;
		long exponent = 0;
		for (; is_digit(**p); (*p)++)
			if (exponent < 100000)
				exponent = exponent * 10 + (**p - '0');
		magnitude += exponent_negative ? -exponent : exponent;
	}
	if (!real)
		return integer_fits(digits, integer_digits, negative);
	return !significant || magnitude <= MAX_DECIMAL_EXPONENT;
}

bool read_word(cursor *p, const char *word)
{
	size_t length = strlen(word);
	if (strncmp((const char *)*p, word, length) != 0)
		return false;
	*p += length;
	return true;
}

bool read_value(cursor *p, int depth);

bool read_members(cursor *p, int depth, bool object)
{
	if (depth > MAX_DEPTH)
		return false;
	char close = object ? '}' : ']';
	(*p)++;
	skip_blanks(p);
	if (**p == close) {
		(*p)++;
		return true;
	}
	for (;;) {
		if (object) {
			skip_blanks(p);
			if (**p != '"' || !read_string(p))
				return false;
			skip_blanks(p);
			if (**p != ':')
				return false;
			(*p)++;
		}
		if (!read_value(p, depth))
			return false;
		skip_blanks(p);
		if (**p == ',') {
			(*p)++;
			continue;
		}
		if (**p != close)
			return false;
		(*p)++;
		return true;
	}
}

bool read_value(cursor *p, int depth)
{
	skip_blanks(p);
	switch (**p) {
	case '{':
		return read_members(p, depth + 1, true);
	case '[':
		return read_members(p, depth + 1, false);
	case '"':
		return read_string(p);
	case 't':
		return read_word(p, "true");
	case 'f':
		return read_word(p, "false");
	case 'n':
		return read_word(p, "null");
	default:
		return read_number(p);
	}
}

} // namespace

bool json_text_is_valid(const char *text)
{
	if (!text)
		return false;
	cursor p = (cursor)text;
	skip_blanks(&p);
	if (*p != '{' && *p != '[')
		return false;
	if (!read_value(&p, 0))
		return false;
	skip_blanks(&p);
	return *p == 0;
}
