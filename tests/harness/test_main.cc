// The test programs' entry.  Death tests run their statement in a fresh
// process of the test binary ("threadsafe"): the SDK's threads do not
// survive a plain fork, and a statement that needs them would hang.
#include <gtest/gtest.h>

int
main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	GTEST_FLAG_SET(death_test_style, "threadsafe");
	return RUN_ALL_TESTS();
}
