// Which request for a file follows the one that ended.
#include <gtest/gtest.h>

#include "update/file_attempts.h"

namespace {

TEST(FileAttempts, ACutAfterProgressAsksForTheRestThreeTimesAtMost)
{
    FileAttempts attempts;
    for (int cut = 0; cut < continuation_limit; ++cut)
        EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true), NextRequest::rest) << cut;
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true), NextRequest::none);

    FileAttempts finished;
    EXPECT_EQ(finished.after(AttemptEnd::cut_short, true), NextRequest::rest);
    EXPECT_EQ(finished.after(AttemptEnd::complete, true), NextRequest::none);
}

TEST(FileAttempts, ACutWithoutProgressOrAFinalFailureEndsTheFile)
{
    FileAttempts at_once;
    EXPECT_EQ(at_once.after(AttemptEnd::cut_short, false), NextRequest::none);

    FileAttempts after_one;
    EXPECT_EQ(after_one.after(AttemptEnd::cut_short, true), NextRequest::rest);
    EXPECT_EQ(after_one.after(AttemptEnd::cut_short, false), NextRequest::none);

    // Cancel, a trickle below the floor, a wrong answer: bytes or not.
    FileAttempts failed;
    EXPECT_EQ(failed.after(AttemptEnd::failed, true), NextRequest::none);
}

TEST(FileAttempts, ARefusedRangeStartsTheFileOverOnceAndKeepsTheCountOfContinuations)
{
    FileAttempts attempts;
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true), NextRequest::rest);
    EXPECT_EQ(attempts.after(AttemptEnd::range_refused, false), NextRequest::whole);
    // The new start is cut too: the rest is asked for again, as long as
    // continuations remain, but a second refusal is final.
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true), NextRequest::rest);
    EXPECT_EQ(attempts.after(AttemptEnd::range_refused, false), NextRequest::none);

    FileAttempts spent;
    for (int cut = 0; cut < continuation_limit; ++cut)
        ASSERT_EQ(spent.after(AttemptEnd::cut_short, true), NextRequest::rest);
    EXPECT_EQ(spent.after(AttemptEnd::range_refused, false), NextRequest::whole);
    EXPECT_EQ(spent.after(AttemptEnd::cut_short, true), NextRequest::none);
}

}  // namespace
