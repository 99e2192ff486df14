#pragma once

#include <gtest/gtest.h>

#include "support/support.h"

// Skips the test when something it needs (a suite, Pillow) is missing, or
// fails it when the run requires everything (KELVARA_REQUIRE_ALL, set in CI).
#define KELVARA_NEED(available, what)                                        \
    do {                                                                     \
        if (!(available)) {                                                  \
            if (::kelvara::test::everythingRequired()) {                     \
                FAIL() << "required but missing: " << (what);                \
            }                                                                \
            GTEST_SKIP() << "skipped, missing: " << (what);                  \
        }                                                                    \
    } while (false)
