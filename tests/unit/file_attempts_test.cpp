// Which request for a file follows the one that ended.
#include <gtest/gtest.h>

#include "update/file_attempts.h"

namespace {

// The answer the held bytes began with named a validator.
const bool validated = true;

TEST(FileAttempts, ACutAfterProgressAsksForTheRestThreeTimesAtMost)
{
    FileAttempts attempts;
    for (int cut = 0; cut < continuation_limit; ++cut)
        EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, validated), NextRequest::rest) << cut;
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, validated), NextRequest::none);

    FileAttempts finished;
    EXPECT_EQ(finished.after(AttemptEnd::cut_short, true, validated), NextRequest::rest);
    EXPECT_EQ(finished.after(AttemptEnd::complete, true, validated), NextRequest::none);
}

TEST(FileAttempts, ACutWithoutProgressOrAFinalFailureEndsTheFile)
{
    FileAttempts at_once;
    EXPECT_EQ(at_once.after(AttemptEnd::cut_short, false, validated), NextRequest::none);

    FileAttempts after_one;
    EXPECT_EQ(after_one.after(AttemptEnd::cut_short, true, validated), NextRequest::rest);
    EXPECT_EQ(after_one.after(AttemptEnd::cut_short, false, validated), NextRequest::none);

    // Cancel, a trickle below the floor, a wrong answer: bytes or not.
    FileAttempts failed;
    EXPECT_EQ(failed.after(AttemptEnd::failed, true, validated), NextRequest::none);
    FileAttempts cancelled;
    EXPECT_EQ(cancelled.after(AttemptEnd::cancelled, true, validated), NextRequest::none);
}

TEST(FileAttempts, ARefusedRangeStartsTheFileOverOnceAndKeepsTheCountOfContinuations)
{
    FileAttempts attempts;
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, validated), NextRequest::rest);
    EXPECT_EQ(attempts.after(AttemptEnd::range_refused, false, validated), NextRequest::whole);
    // The new start is cut too: the rest is asked for again, as long as
    // continuations remain, but a second refusal is final.
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, validated), NextRequest::rest);
    EXPECT_EQ(attempts.after(AttemptEnd::range_refused, false, validated), NextRequest::none);

    FileAttempts spent;
    for (int cut = 0; cut < continuation_limit; ++cut)
        ASSERT_EQ(spent.after(AttemptEnd::cut_short, true, validated), NextRequest::rest);
    EXPECT_EQ(spent.after(AttemptEnd::range_refused, false, validated), NextRequest::whole);
    EXPECT_EQ(spent.after(AttemptEnd::cut_short, true, validated), NextRequest::none);
}

// Without a validator the rest could be another version's bytes: a cut file
// starts over instead, as often as it could have been continued.
TEST(FileAttempts, ACutWithoutAValidatorStartsTheFileOverAsOftenAsItCouldBeContinued)
{
    FileAttempts attempts;
    for (int cut = 0; cut < continuation_limit; ++cut)
        EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, false), NextRequest::whole) << cut;
    EXPECT_EQ(attempts.after(AttemptEnd::cut_short, true, false), NextRequest::none);

    // A new start whose answer names a validator is continued, within the
    // same count.
    FileAttempts mixed;
    EXPECT_EQ(mixed.after(AttemptEnd::cut_short, true, false), NextRequest::whole);
    for (int cut = 1; cut < continuation_limit; ++cut)
        EXPECT_EQ(mixed.after(AttemptEnd::cut_short, true, validated), NextRequest::rest) << cut;
    EXPECT_EQ(mixed.after(AttemptEnd::cut_short, true, validated), NextRequest::none);
}

}  // namespace
