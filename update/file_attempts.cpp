#include "update/file_attempts.h"

NextRequest FileAttempts::after(AttemptEnd end, bool brought_bytes)
{
    if (end == AttemptEnd::cut_short && brought_bytes && continuations < continuation_limit) {
        ++continuations;
        return NextRequest::rest;
    }
    if (end == AttemptEnd::range_refused && !started_over) {
        started_over = true;
        return NextRequest::whole;
    }
    return NextRequest::none;
}
