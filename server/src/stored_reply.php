<?php

declare(strict_types=1);

// The signed replies as the store keeps them, one file per client version,
// named by the version written as the program writes it (canonical decimal,
// 32-bit), so that no query can name any other file.

function is_canonical_version(string $text): bool
{
    if (preg_match('/^(0|-?[1-9][0-9]{0,9})$/D', $text) !== 1) {
        return false;
    }
    $value = (int)$text;
    return $value >= -2147483648 && $value <= 2147483647;
}

function stored_reply_path(string $replies_folder, int|string $client_version): string
{
    return "$replies_folder/$client_version.reply";
}

// A stored reply is the release key's signature (base64), a line feed, the
// freshness line (the X-Update-Freshness header: expiry stamp, a space, the
// freshness key's signature), a line feed, where a key statement is
// published the key claim (the X-Update-Keys header: the statement's serial,
// a space, the freshness key's signature) and a line feed, then the body.
// One file, so that a reader gets a body and its signatures written
// together. The claim has no comma and every line of a body has one, so
// the two never mix.
function format_stored_reply(string $signature, string $freshness, string $body, ?string $keys = null): string
{
    return $signature . "\n" . $freshness . "\n" . ($keys === null ? '' : "$keys\n") . $body;
}

/** @return ?array{signature: string, freshness: string, keys?: string, body: string} null unless in that form; keys where there is a claim */
function parse_stored_reply(string $stored): ?array
{
    $parts = explode("\n", $stored, 3);
    if (count($parts) !== 3 || preg_match('#^[A-Za-z0-9+/]+={0,2}$#D', $parts[0]) !== 1
        || preg_match('#^[0-9]{8}T[0-9]{6}Z [A-Za-z0-9+/]+={0,2}$#D', $parts[1]) !== 1) {
        return null;
    }
    $rest = explode("\n", $parts[2], 2);
    $keys = count($rest) === 2 && preg_match('#^[1-9][0-9]{0,9} [A-Za-z0-9+/]+={0,2}$#D', $rest[0]) === 1
        ? $rest[0] : null;
    return $keys === null ? ['signature' => $parts[0], 'freshness' => $parts[1], 'body' => $parts[2]]
        : ['signature' => $parts[0], 'freshness' => $parts[1], 'keys' => $keys, 'body' => $rest[1]];
}
