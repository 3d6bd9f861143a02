#include "error_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

// Whichever strerror_r the C library has, the text is strerror's, unknown
// numbers included.
TEST(ErrorText, SaysWhatStrerrorSays) {
    for (const int errnum : {0, EISDIR, ENOSPC, EPIPE, EIO, 99999}) {
        const std::string expected = std::strerror(errnum);
        EXPECT_EQ(error_text(errnum), expected) << errnum;
    }
}

} // namespace
