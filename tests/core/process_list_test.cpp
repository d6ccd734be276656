#include <gtest/gtest.h>

#include "app/core/process_op.h"

// Only a client of the updater's own session is waited for and stopped; another user's (its
// session unreadable or different) is passed over even when it comes first in the list.
TEST(ProcessList, OnlyTheOwnSessionsClientIsTaken) {
    const std::vector<ProcessEntry> list = {{10, kUnknownSession, L"zpvclient.exe"},
                                            {11, 2, L"ZPVCLIENT.EXE"},
                                            {12, 1, L"zpvclient.exe.bak"},
                                            {13, 1, L"ZpvClient.exe"},
                                            {14, 1, L"zpvclient.exe"}};
    EXPECT_EQ(FirstInSession(list, kClientImageName, 1), 13u);
    EXPECT_EQ(FirstInSession(list, kClientImageName, 2), 11u);
    EXPECT_EQ(FirstInSession(list, kClientImageName, 3), 0u);
    EXPECT_EQ(FirstInSession(list, kClientImageName, kUnknownSession), 0u);
}
