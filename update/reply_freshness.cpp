#include "update/reply_freshness.h"

#include <windows.h>

#include "support/decimal_text.h"
#include "support/format.h"
#include "support/hex.h"

const char reply_freshness_header[] = "X-Update-Freshness";

namespace {

const std::size_t stamp_length = 16;

// The number written by count digits at text[at]; -1 if any is no digit.
int number_at(const std::string& text, std::size_t at, std::size_t count)
{
    std::uint64_t value = 0;
    if (!read_decimal(std::string_view(text).substr(at, count), 9999, value))
        return -1;
    return static_cast<int>(value);
}

int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

bool is_utc_stamp(const std::string& text)
{
    if (text.size() != stamp_length || text[8] != 'T' || text[15] != 'Z')
        return false;
    int year = number_at(text, 0, 4);
    int month = number_at(text, 4, 2);
    int day = number_at(text, 6, 2);
    int hour = number_at(text, 9, 2);
    int minute = number_at(text, 11, 2);
    int second = number_at(text, 13, 2);
    return year >= 0 && month >= 1 && month <= 12 && day >= 1 &&
           day <= days_in_month(year, month) && hour >= 0 && hour <= 23 && minute >= 0 &&
           minute <= 59 && second >= 0 && second <= 59;
}

bool parse_freshness_header(const std::string& header, FreshnessClaim& claim)
{
    if (header.size() <= stamp_length || header[stamp_length] != ' ')
        return false;
    std::string expires = header.substr(0, stamp_length);
    if (!is_utc_stamp(expires) || !read_signature_text(header.substr(stamp_length + 1), claim.signature))
        return false;
    claim.expires = expires;
    return true;
}

bool is_fresh_reply(const PublicKeyPoint& key, const Sha256Digest& reply_digest,
                    const std::string& header, const std::string& now)
{
    FreshnessClaim claim;
    if (!parse_freshness_header(header, claim) || claim.expires <= now)
        return false;
    std::string message = "expires=" + claim.expires + "\n" +
                          hex_text(reply_digest.data(), reply_digest.size());
    Sha256Digest digest;
    return sha256({{message.data(), message.size()}}, digest) &&
           is_valid_signature(key, digest, claim.signature);
}

std::string utc_now_stamp()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return format_text("%04u%02u%02uT%02u%02u%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
                       now.wMinute, now.wSecond);
}
