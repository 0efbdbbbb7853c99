<?php

declare(strict_types=1);

require_once __DIR__ . '/keys.php';
require_once __DIR__ . '/release_store.php';
require_once __DIR__ . '/stored_reply.php';

// The freshness key's part of a reply: until when the program may use it.
// It signs "expires=<stamp>\n" and the SHA-256 (lowercase hex) of what the
// release key signed, so it can keep a genuine reply alive but never make
// another verify. A reply whose expiry has passed is no update list to the
// program, so the expiries are renewed (refresh) well before they pass.

// UTC, "YYYYMMDDTHHMMSSZ": fixed width, so that stamps compare as times.
function utc_stamp(int $time): string
{
    return gmdate('Ymd\THis\Z', $time);
}

function freshness_message(string $expires, string $signed_message): string
{
    return "expires=$expires\n" . hash('sha256', $signed_message);
}

// The key claim: which key statement the reply's keys come from, under the
// freshness key's signature, for programs built with a root key set (the
// X-Update-Keys header). It signs the serial with what the freshness line
// signs.
function key_claim_message(int $serial, string $expires, string $signed_message): string
{
    return "klucze=$serial\n" . freshness_message($expires, $signed_message);
}

// Signs freshness lines that expire validity seconds after now, and with
// $statement_serial (the current key statement's) the key claims.
final class FreshnessSigner
{
    public function __construct(
        private readonly SigningKeys $keys,
        private readonly int $validity,
        private readonly int $now,
        private readonly ?int $statement_serial = null
    ) {
    }

    public function expires(): string
    {
        return utc_stamp($this->now + $this->validity);
    }

    // The reply for client_version as the store keeps it, with a freshness
    // line over the release key's message for body.
    public function stored_reply(string $product, int $client_version, string $release_signature,
                                 string $body): string
    {
        $expires = $this->expires();
        $signed = signed_message($product, $client_version, $body);
        $key = $this->keys->key_for($client_version);
        $line = "$expires " . sign_text($key, freshness_message($expires, $signed));
        $claim = $this->statement_serial === null ? null
            : "{$this->statement_serial} " . sign_text($key, key_claim_message($this->statement_serial, $expires, $signed));
        return format_stored_reply($release_signature, $line, $body, $claim);
    }
}

/**
 * Renews the expiry of every stored reply, held ones too: one signature
 * each, the body and the release key's signature kept as they are, each
 * reply replaced whole. A rollout that has reached everyone loses its held
 * replies instead, so that they expire rather than hold clients back.
 * @return int the number of replies renewed
 */
function refresh_replies(ReleaseStore $store, string $product, FreshnessSigner $freshness, int $now): int
{
    return $store->locked(function () use ($store, $product, $freshness, $now) {
        if ($store->rollout()?->is_complete($now)) {
            $store->remove_held_replies();
            $store->save_rollout(null);
        }
        $count = 0;
        foreach ([false, true] as $held) {
            foreach ($store->stored_replies($held) as $client => $reply) {
                $store->save_reply($client, $freshness->stored_reply($product, $client, $reply['signature'], $reply['body']),
                                   $held);
                ++$count;
            }
        }
        return $count;
    });
}
