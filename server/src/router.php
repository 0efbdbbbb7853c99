<?php

declare(strict_types=1);

// Finds the pre-built reply for the version a client asked about. Only a
// version written as the program writes it (canonical decimal, 32-bit) is
// looked up, so no query can name any other file.

const NO_REPLY = ['body' => '', 'signature' => null];

/** @return array{body: string, signature: ?string} */
function find_reply(mixed $version, string $replies_folder): array
{
    if (!is_string($version) || !is_canonical_version($version)) {
        return NO_REPLY;
    }
    $stored = @file_get_contents($replies_folder . '/' . $version . '.reply');
    if ($stored === false) {
        return NO_REPLY;
    }
    return parse_stored_reply($stored) ?? NO_REPLY;
}

function is_canonical_version(string $text): bool
{
    if (preg_match('/^(0|-?[1-9][0-9]{0,9})$/D', $text) !== 1) {
        return false;
    }
    $value = (int)$text;
    return $value >= -2147483648 && $value <= 2147483647;
}

// A stored reply is the base64 signature, a line feed, then the body.
function format_stored_reply(string $signature, string $body): string
{
    return $signature . "\n" . $body;
}

/** @return ?array{body: string, signature: string} */
function parse_stored_reply(string $stored): ?array
{
    $end = strpos($stored, "\n");
    if ($end === false) {
        return null;
    }
    return ['signature' => substr($stored, 0, $end), 'body' => substr($stored, $end + 1)];
}
