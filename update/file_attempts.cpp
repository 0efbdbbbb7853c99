#include "update/file_attempts.h"

NextRequest FileAttempts::after(AttemptEnd end, bool brought_bytes, bool has_validator)
{
    if (end == AttemptEnd::cut_short && brought_bytes && continuations < continuation_limit) {
        ++continuations;
        return has_validator ? NextRequest::rest : NextRequest::whole;
    }
    if (end == AttemptEnd::range_refused && !started_over) {
        started_over = true;
        return NextRequest::whole;
    }
    return NextRequest::none;
}
