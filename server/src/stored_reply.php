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
