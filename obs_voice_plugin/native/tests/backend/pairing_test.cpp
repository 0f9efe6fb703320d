#include <cstring>

#include <gtest/gtest.h>

#include <backend/json_check.h>
#include <backend/pairing.h>
#include <backend/secret_wipe.h>
#include <dashboard_json.h>
#include <util/bmem.h>

#include "backend_support.h"

namespace {

std::string decoded(const char *text)
{
	char *out = base64_decode(text);
	std::string result = out ? out : "<null>";
	bfree(out);
	return result;
}

std::string url_safe_unpadded(std::string text)
{
	for (char &c : text)
		c = c == '+' ? '-' : c == '/' ? '_' : c;
	return text.substr(0, text.find('='));
}

struct decoded_pairing {
	bool ok;
	std::string url, tenant_id, key;
};

decoded_pairing decode(const std::string &pairing, const char *url_override = nullptr)
{
	pairing_info info = {(char *)"x", (char *)"x", (char *)"x"};
	bool ok = pairing_decode(pairing.c_str(), url_override, &info);
	decoded_pairing out = {ok, info.url ? info.url : "", info.tenant_id ? info.tenant_id : "",
			       info.key ? info.key : ""};
	if (!ok) {
		EXPECT_EQ(info.url, nullptr);
		EXPECT_EQ(info.tenant_id, nullptr);
		EXPECT_EQ(info.key, nullptr);
	}
	pairing_info_clear(&info);
	return out;
}

std::string pairing_json(const std::string &url, const std::string &tenant_id, const std::string &key)
{
	return base64_encode("{\"url\":" + json_quote(url) + ",\"tenant_id\":" + json_quote(tenant_id) +
			     ",\"key\":" + json_quote(key) + "}");
}

} // namespace

TEST(base64, alphabet_values)
{
	const char *standard = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
	for (int byte = 0; byte < 256; byte++) {
		char c = (char)byte;
		const char *at = byte ? strchr(standard, c) : nullptr;
		int expected = at ? (int)(at - standard) : c == '-' ? 62 : c == '_' ? 63 : -1;
		EXPECT_EQ(base64_char_value(c), expected) << "byte " << byte;
	}
}

TEST(base64, decode_groups_padding_and_rejects)
{
	EXPECT_EQ(decoded("TWFu"), "Man");
	EXPECT_EQ(decoded("TWE="), "Ma");
	EXPECT_EQ(decoded("TWE"), "Ma");
	EXPECT_EQ(decoded("TQ"), "M");
	EXPECT_EQ(decoded("T"), "");     // a lone character leaves only dropped bits
	EXPECT_EQ(decoded("=TWFu"), ""); // nothing before the first "="
	EXPECT_EQ(decoded("TWE=\n !*"), "Ma");
	EXPECT_EQ(decoded(""), "<null>");
	EXPECT_EQ(base64_decode(nullptr), nullptr);
	EXPECT_EQ(decoded("TW Fu"), "<null>");
	EXPECT_EQ(decoded("TWFu\n"), "<null>");
	EXPECT_EQ(decoded("TWFu\xC3\xA9"), "<null>");
}

TEST(pairing, both_alphabets_padded_or_not_and_mixed_decode_alike)
{
	// Key bytes chosen so the standard text carries both "+" and "/", and padding.
	std::string standard = pairing_json("http://host", "tenant", "k>>>???~~~");
	ASSERT_NE(standard.find('+'), std::string::npos);
	ASSERT_NE(standard.find('/'), std::string::npos);
	ASSERT_EQ(standard.back(), '=');
	std::string mixed = standard;
	mixed[mixed.find('+')] = '-';

	for (const std::string &text : {standard, url_safe_unpadded(standard), mixed}) {
		decoded_pairing p = decode(text);
		EXPECT_TRUE(p.ok) << text;
		EXPECT_EQ(p.url, "http://host");
		EXPECT_EQ(p.tenant_id, "tenant");
		EXPECT_EQ(p.key, "k>>>???~~~");
	}
	EXPECT_TRUE(decode(standard + "trailing \n junk").ok);
}

TEST(pairing, blanks_line_breaks_and_short_texts_fail)
{
	std::string good = pairing_json("http://host", "tenant", "key");
	EXPECT_FALSE(decode(good + "\n").ok);
	EXPECT_FALSE(decode(good + "\r\n").ok);
	EXPECT_FALSE(decode(" " + good).ok);
	EXPECT_FALSE(decode(good.substr(0, 8) + " " + good.substr(8)).ok);
	EXPECT_FALSE(decode("e").ok);
	EXPECT_FALSE(decode("").ok);
	pairing_info info;
	EXPECT_FALSE(pairing_decode(nullptr, "http://override", &info));
	EXPECT_EQ(info.url, nullptr);
	EXPECT_FALSE(decode(base64_encode("not json")).ok);
	EXPECT_FALSE(decode(base64_encode("[\"url\",\"tenant_id\",\"key\"]")).ok);
}

TEST(pairing, decoded_zero_byte_ends_the_text)
{
	std::string json = "{\"url\":\"http://h\",\"tenant_id\":\"t\",\"key\":\"k\"}";
	EXPECT_TRUE(decode(base64_encode(json + std::string(1, '\0') + "{{{")).ok);
	EXPECT_FALSE(decode(base64_encode(json.substr(0, 10) + std::string(1, '\0') + json.substr(10))).ok);
}

TEST(pairing, url_override_fallback)
{
	std::string no_url = base64_encode("{\"tenant_id\":\"t\",\"key\":\"k\"}");
	decoded_pairing p = decode(no_url, "http://override/");
	EXPECT_TRUE(p.ok);
	EXPECT_EQ(p.url, "http://override");

	EXPECT_EQ(decode(pairing_json("", "t", "k"), "http://override").url, "http://override");
	EXPECT_EQ(decode(pairing_json("http://paired", "t", "k"), "http://override").url, "http://paired");
	EXPECT_FALSE(decode(no_url).ok);
	EXPECT_FALSE(decode(no_url, "").ok);
	// "/" is non-empty when the fallback is decided, and empty once trimmed.
	EXPECT_FALSE(decode(pairing_json("/", "t", "k"), "http://override").ok);
	// Other members and non-string values are ignored.
	EXPECT_EQ(decode(base64_encode("{\"url\":5,\"tenant_id\":\"t\",\"key\":\"k\",\"x\":[1]}"), "http://o").url,
		  "http://o");
}

TEST(pairing, one_trailing_slash_is_removed)
{
	EXPECT_EQ(decode(pairing_json("http://h/", "t", "k")).url, "http://h");
	EXPECT_EQ(decode(pairing_json("http://h//", "t", "k")).url, "http://h/");
	EXPECT_EQ(decode(pairing_json(" http://h ", "t", "k")).url, " http://h "); // nothing trimmed
}

TEST(pairing, empty_tenant_or_key_fails_leaving_nothing_allocated)
{
	long before = bnum_allocs();
	EXPECT_FALSE(decode(pairing_json("http://h", "", "k")).ok);
	EXPECT_FALSE(decode(pairing_json("http://h", "t", "")).ok);
	EXPECT_FALSE(decode(base64_encode("{\"url\":\"http://h\",\"tenant_id\":\"t\"}")).ok);
	EXPECT_FALSE(decode("e").ok);
	EXPECT_FALSE(decode("!!").ok);
	EXPECT_EQ(bnum_allocs(), before);

	pairing_info info;
	ASSERT_TRUE(pairing_decode(pairing_json("http://h", "t", "k").c_str(), nullptr, &info));
	EXPECT_GT(bnum_allocs(), before);
	pairing_info_clear(&info);
	EXPECT_EQ(info.url, nullptr);
	EXPECT_EQ(info.tenant_id, nullptr);
	EXPECT_EQ(info.key, nullptr);
	EXPECT_EQ(bnum_allocs(), before);
	pairing_info_clear(nullptr);
}

// The host's JSON reader logs the token it fails on; a pairing cut short
// while being copied must not put any of the key into the log.
TEST(pairing, malformed_pairings_log_nothing)
{
	const std::string key = "SECRETKEY123";
	std::string json = "{\"url\":\"http://h\",\"tenant_id\":\"t\",\"key\":\"" + key + "\"}";
	std::vector<std::string> broken;
	for (size_t length = 1; length < json.size(); length++)
		broken.push_back(json.substr(0, length));
	for (const char *bad : {"\"key\" \"SECRETKEY123\"}", "\"key\":\"SECRETKEY123\\x\"}",
				"\"key\":\"SECRETKEY123\\u0000\"}", "\"key\":\"SECRETKEY123\xC0\xAF\"}",
				"\"key\":\"SECRETKEY123\\ud800\"}", "\"key\":SECRETKEY123}",
				"\"key\":\"SECRETKEY123\"} SECRETKEY123", "\"key\":\"SECRETKEY123\t\"}",
				"\"key\":\"SECRETKEY123\",\"key\":\"SECRETKEY123\"}"})
		broken.push_back("{\"url\":\"http://h\",\"tenant_id\":\"t\"," + std::string(bad));

	captured_log log;
	for (const std::string &text : broken)
		EXPECT_FALSE(decode(base64_encode(text)).ok) << text;
	EXPECT_TRUE(log.lines().empty()) << log.lines()[0].text;
}

TEST(endpoints, urls_and_key)
{
	backend_endpoints *e = backend_endpoints_create("http://h//", "a b%2F", "k");
	ASSERT_NE(e, nullptr);
	EXPECT_STREQ(e->voice_command_url, "http://h///obs/a b%2F/voice-command");
	EXPECT_STREQ(e->ping_url, "http://h///obs/a b%2F/ping");
	EXPECT_STREQ(e->commands_url, "http://h///obs/a b%2F/commands");
	EXPECT_STREQ(e->plugin_key, "k");
	backend_endpoints_destroy(e);

	long before = bnum_allocs();
	EXPECT_EQ(backend_endpoints_create(nullptr, "t", "k"), nullptr);
	EXPECT_EQ(backend_endpoints_create("u", nullptr, "k"), nullptr);
	EXPECT_EQ(backend_endpoints_create("u", "t", nullptr), nullptr);
	backend_endpoints_destroy(backend_endpoints_create("", "", ""));
	backend_endpoints_destroy(nullptr);
	EXPECT_EQ(bnum_allocs(), before);
}

TEST(secret_wipe, zeroes_up_to_the_nul_only)
{
	char text[] = "key\0tail";
	secret_wipe(text);
	EXPECT_EQ(memcmp(text, "\0\0\0\0tail", sizeof(text)), 0);
	char empty[] = "\0x";
	secret_wipe(empty);
	EXPECT_EQ(empty[1], 'x');
	secret_wipe(nullptr);
}

// The check accepts exactly what the host's reader accepts (a text the
// reader refused would be logged by it), and logs nothing itself.
TEST(json_check, agrees_with_the_host_reader_and_logs_nothing)
{
	struct sample {
		std::string text;
		bool valid;
	} samples[] = {
		{"{}", true},
		{" [1, -0, 2.5e-3, 1E+2, true, false, null] \r\n", true},
		{"{\"a\":{\"b\":[{}]},\"c\":\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"}", true},
		{"{\"a\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"}", true},
		{"{\"a\":-9223372036854775808,\"b\":9223372036854775807}", true},
		{"{\"a\":1e-999,\"b\":0.000001e300,\"c\":1.7976931348623157e308}", true},
		{std::string(2048, '[') + std::string(2048, ']'), true},
		{"", false},
		{"\"text\"", false},
		{"5", false},
		{"{\"a\":1}x", false},
		{"{\"a\":1,}", false},
		{"{\"a\" 1}", false},
		{"{'a':1}", false},
		{"{\"a\":01}", false},
		{"{\"a\":1.}", false},
		{"{\"a\":.5}", false},
		{"{\"a\":+1}", false},
		{"{\"a\":9223372036854775808}", false},
		{"{\"a\":-9223372036854775809}", false},
		{"{\"a\":1.8e308}", false},
		{"{\"a\":tru}", false},
		{"{\"a\":\"\\u0000\"}", false},
		{"{\"a\":\"\\ud800\"}", false},
		{"{\"a\":\"\\udc00\"}", false},
		{"{\"a\":\"\\x\"}", false},
		{"{\"a\":\"tab\there\"}", false},
		{"{\"a\":\"\xC0\xAF\"}", false},
		{"{\"a\":\"\xED\xA0\x80\"}", false},
		{"{\"a\":\"\xF4\x90\x80\x80\"}", false},
		{"{\"a\":\"\xE2\x82\"}", false},
		{"{\"a\":\"open", false},
		{"\xEF\xBB\xBF{}", false},
		{"{}\x0B", false},
		{"{\"a\":1,\"a\":2}", false},
		{std::string(2049, '[') + std::string(2049, ']'), false},
	};
	{
		captured_log log;
		for (const sample &s : samples) {
			EXPECT_EQ(json_text_is_valid(s.text.c_str()), s.valid) << s.text.substr(0, 60);
			obs_data_t *data = json_data_from_text(s.text.c_str());
			EXPECT_EQ(data != nullptr, s.valid) << s.text.substr(0, 60);
			obs_data_release(data);
		}
		EXPECT_FALSE(json_text_is_valid(nullptr));
		EXPECT_EQ(json_data_from_text(nullptr), nullptr);
		EXPECT_TRUE(log.lines().empty()) << log.lines()[0].text;
	}
	captured_log log;
	for (const sample &s : samples) {
		obs_data_t *data = obs_data_create_from_json(s.text.c_str());
		EXPECT_EQ(data != nullptr, s.valid) << s.text.substr(0, 60);
		obs_data_release(data);
	}
	EXPECT_EQ(log.lines().size(), sizeof(samples) / sizeof(samples[0]) - 7) << "the reader logs each text it refuses";
}
