<?php

declare(strict_types=1);

require_once __DIR__ . '/stored_reply.php';

// Finds the pre-built reply for the version a client asked about. Only a
// canonical version is looked up.

const NO_REPLY = ['body' => '', 'signature' => null, 'freshness' => null];

/** @return array{body: string, signature: ?string, freshness: ?string} */
function find_reply(mixed $version, string $replies_folder): array
{
    if (!is_string($version) || !is_canonical_version($version)) {
        return NO_REPLY;
    }
    $stored = @file_get_contents(stored_reply_path($replies_folder, $version));
    if ($stored === false) {
        return NO_REPLY;
    }
    return parse_stored_reply($stored) ?? NO_REPLY;
}
