<?php

declare(strict_types=1);

require_once __DIR__ . '/rollout.php';
require_once __DIR__ . '/stored_reply.php';

// Finds the pre-built reply for the version a client asked about. Only a
// canonical version is looked up. While a release rolls out, a version below
// it has a held reply too, which a client outside the rollout gets.

// How long a cache in front may keep a reply: long enough to answer nearly
// every check from the cache, short enough that a release or a halt shows
// within a minute and that no cached reply outlives its own expiry.
const REPLY_CACHE_SECONDS = 60;

const NO_REPLY = ['body' => '', 'signature' => null, 'freshness' => null];

/** @return array{body: string, signature: ?string, freshness: ?string, keys?: string, rollout?: string} rollout: "in" or "out" where held */
function find_reply(mixed $version, string $replies_folder, mixed $group = null, ?Rollout $rollout = null,
                    int $now = 0): array
{
    if (!is_string($version) || !is_canonical_version($version)) {
        return NO_REPLY;
    }
    $held = @file_get_contents(stored_reply_path(held_replies_folder($replies_folder), $version));
    $in = $held === false || ($rollout !== null && $rollout->includes(request_group($group), $now));
    $stored = $in ? @file_get_contents(stored_reply_path($replies_folder, $version)) : $held;
    $reply = $stored === false ? null : parse_stored_reply($stored);
    if ($reply === null) {
        return NO_REPLY;
    }
    return $held === false ? $reply : $reply + ['rollout' => $in ? 'in' : 'out'];
}

// At most a tenth of the freshness validity, so that a reply taken from a
// cache has nearly all of its validity left.
function reply_cache_control(int $freshness_validity): string
{
    return 'max-age=' . min(REPLY_CACHE_SECONDS, intdiv($freshness_validity, 10));
}
