// The requests for one file of an update. When a body stops early after
// bytes came, the rest is asked for under the validator of the answer they
// came with, or, without one, the file is asked for again from its start; a
// server that does not answer with exactly the rest has the file asked for
// again from its start, once. With a listed size and hash per file, what is
// put together is either exactly right or refused.
#pragma once

// Continuations asked for one file, at most.
const int continuation_limit = 3;

// How one request for the file ended.
enum class AttemptEnd {
    complete,       // the body read to its end
    cut_short,      // the connection broke, a read waited too long, or the body ended early
    range_refused,  // a request for the rest not answered with exactly the rest
    cancelled,      // the user pressed Cancel: final for the file
    failed,         // anything else (a wrong answer, too slow): final for the file
};

enum class NextRequest {
    none,   // the file is complete or has failed
    rest,   // the bytes after those already held
    whole,  // the file from its start, what is held dropped
};

class FileAttempts {
public:
    // brought_bytes: the request that ended added bytes to the file.
    // has_validator: the answer the held bytes began with named a validator
    // (net/range_validator.h), without which the rest cannot be told from
    // another version's; a start over then counts as a continuation.
    NextRequest after(AttemptEnd end, bool brought_bytes, bool has_validator);

private:
    int continuations = 0;
    bool started_over = false;
};
