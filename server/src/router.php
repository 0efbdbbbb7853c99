<?php

declare(strict_types=1);

require_once __DIR__ . '/rollout.php';
require_once __DIR__ . '/stored_reply.php';

// Finds the pre-built reply for the version a client asked about. Only a
// canonical version is looked up. While a release rolls out, a version below
// it has a held reply too, which a client outside the rollout gets.

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
