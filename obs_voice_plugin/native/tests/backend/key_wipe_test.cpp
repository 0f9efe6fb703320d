// The key must be wiped while its memory is still allocated. This program
// supplies its own secret_wipe, which the plug-in code links to instead of
// the real one (tested on its own in pairing_test), and records each call.
// The recorded text is read inside the call, so a key freed before its wipe
// shows up as a use after free in the sanitizer build, besides the counts.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <backend/pairing.h>
#include <backend/secret_wipe.h>
#include <util/bmem.h>

namespace {

struct wipe_call {
	const char *address;
	std::string text;
	long allocations; // host allocations alive at the call
};

std::vector<wipe_call> calls;

const char PAIRING[] = "eyJ1cmwiOiJodHRwOi8vaCIsInRlbmFudF9pZCI6InQiLCJrZXkiOiJzM2NyZXQifQ=="; // key "s3cret"

} // namespace

void secret_wipe(char *text)
{
	if (!text)
		return;
	calls.push_back({text, text, bnum_allocs()});
	memset(text, 0, strlen(text));
}

TEST(key_wipe, pairing_info_clear_wipes_the_key_before_freeing_it)
{
	calls.clear();
	pairing_info info;
	ASSERT_TRUE(pairing_decode(PAIRING, nullptr, &info));
	ASSERT_STREQ(info.key, "s3cret");
	const char *key = info.key;
	long alive = bnum_allocs();
	pairing_info_clear(&info);

	// url and tenant id go first; the key is still allocated when wiped.
	ASSERT_EQ(calls.size(), 1u);
	EXPECT_EQ(calls[0].address, key);
	EXPECT_EQ(calls[0].text, "s3cret");
	EXPECT_EQ(calls[0].allocations, alive - 2);
	EXPECT_EQ(bnum_allocs(), alive - 3);
}

TEST(key_wipe, endpoints_destroy_wipes_the_key_before_freeing_it)
{
	calls.clear();
	backend_endpoints *e = backend_endpoints_create("http://h", "t", "k3y");
	ASSERT_NE(e, nullptr);
	const char *key = e->plugin_key;
	long alive = bnum_allocs();
	backend_endpoints_destroy(e);

	ASSERT_EQ(calls.size(), 1u);
	EXPECT_EQ(calls[0].address, key);
	EXPECT_EQ(calls[0].text, "k3y");
	EXPECT_EQ(calls[0].allocations, alive - 3); // the three URLs go first
	EXPECT_EQ(bnum_allocs(), alive - 5);
}

TEST(key_wipe, failed_decode_wipes_the_key_it_read)
{
	calls.clear();
	// {"url":"","tenant_id":"t","key":"k2"}: no base URL.
	pairing_info info;
	long before = bnum_allocs();
	ASSERT_FALSE(pairing_decode("eyJ1cmwiOiIiLCJ0ZW5hbnRfaWQiOiJ0Iiwia2V5IjoiazIifQ", nullptr, &info));
	EXPECT_EQ(bnum_allocs(), before);
	ASSERT_EQ(calls.size(), 1u);
	EXPECT_EQ(calls[0].text, "k2");
}
