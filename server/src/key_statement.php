<?php

declare(strict_types=1);

require_once __DIR__ . '/freshness.php';
require_once __DIR__ . '/keys.php';

// A key statement: the small signed text by which the vendor's root keys
// (k of n, kept offline by different holders) name the keys that replies
// are signed with. Its lines, in this order, each ending in a line feed:
//   produkt=<product>
//   serial=<n>                 1, 2, 3... each statement follows the one before
//   expires=<stamp>            after it, no reply is trusted under it
//   release=<point>            one, or two during an overlap
//   freshness=<point>
//   pin=<64 hex digits>        none or more: the publishers' pins
//   root=<point>               none, or the root set from this statement on,
//   threshold=<k>              with its threshold
// then one line "signature=<base64 DER>" for each root key's signature. A
// point is a P-256 public key's X then Y in 128 lowercase hex digits. Root
// keys sign STATEMENT_PREFIX followed by the text, which no reply, freshness
// or key claim message begins with, so no signature serves for another.
// Published statements are served as files/keys/<serial>, never changed.

const STATEMENT_PREFIX = "update-key-statement\n";
const MOST_RELEASE_KEYS = 2;
const MOST_PINS = 16;
const MOST_ROOT_KEYS = 16;
const MOST_STATEMENT_SIGNATURES = 32;
const STATEMENT_FOLDER = 'keys';

final class KeyStatement
{
    /**
     * @param list<string> $release points
     * @param list<string> $pins
     * @param list<string> $roots points; empty: the root set stays as it was
     */
    public function __construct(
        public readonly string $product,
        public readonly int $serial,
        public readonly string $expires,
        public readonly array $release,
        public readonly string $freshness,
        public readonly array $pins,
        public readonly array $roots = [],
        public readonly int $threshold = 0
    ) {
    }

    public function text(): string
    {
        $lines = ["produkt={$this->product}", "serial={$this->serial}", "expires={$this->expires}"];
        foreach ($this->release as $point) {
            $lines[] = "release=$point";
        }
        $lines[] = "freshness={$this->freshness}";
        foreach ($this->pins as $pin) {
            $lines[] = "pin=$pin";
        }
        foreach ($this->roots as $point) {
            $lines[] = "root=$point";
        }
        if ($this->roots !== []) {
            $lines[] = "threshold={$this->threshold}";
        }
        return implode("\n", $lines) . "\n";
    }
}

/** A statement as written: its text and the base64 signatures after it. */
final class SignedStatement
{
    /** @param list<string> $signatures */
    public function __construct(public readonly KeyStatement $statement, public readonly array $signatures = [])
    {
    }

    public function file(): string
    {
        return $this->statement->text() . implode('', array_map(fn($s) => "signature=$s\n", $this->signatures));
    }

    /** The root keys (points) among $roots that signed the statement, each once. */
    public function signers(array $roots): array
    {
        $message = STATEMENT_PREFIX . $this->statement->text();
        $signers = [];
        foreach ($roots as $root) {
            foreach ($this->signatures as $signature) {
                if (openssl_verify($message, base64_decode($signature, true), point_pem($root), OPENSSL_ALGO_SHA256) === 1) {
                    $signers[] = $root;
                    break;
                }
            }
        }
        return $signers;
    }

    public function signed_by(OpenSSLAsymmetricKey $root): SignedStatement
    {
        if ($this->signers([key_point($root)]) !== []) {
            throw new PublishRefused('this root key has signed the statement already; a key counts once');
        }
        $signature = sign_text($root, STATEMENT_PREFIX . $this->statement->text());
        return new SignedStatement($this->statement, [...$this->signatures, $signature]);
    }
}

/** The statement in $file, or null unless it is exactly in the form above. */
function parse_statement(string $file): ?SignedStatement
{
    $point = '[0-9a-f]{128}';
    $pattern = "/^produkt=([A-Za-z0-9._-]+)\nserial=([1-9][0-9]{0,9})\nexpires=([0-9]{8}T[0-9]{6}Z)\n"
        . "((?:release=$point\n){1,2})freshness=($point)\n((?:pin=[0-9a-f]{64}\n)*)"
        . "(?:((?:root=$point\n)+)threshold=([1-9][0-9]?)\n)?((?:signature=[A-Za-z0-9+\/]+={0,2}\n)*)$/D";
    if (strlen($file) > 65536 || preg_match($pattern, $file, $m) !== 1 || (int)$m[2] > 2147483647) {
        return null;
    }
    $values = fn(string $lines) => array_map(fn($line) => substr($line, strpos($line, '=') + 1),
                                             explode("\n", rtrim($lines, "\n")));
    $release = $values($m[4]);
    $pins = $m[6] === '' ? [] : $values($m[6]);
    $roots = ($m[7] ?? '') === '' ? [] : $values($m[7]);
    $signatures = ($m[9] ?? '') === '' ? [] : $values($m[9]);
    $threshold = $roots === [] ? 0 : (int)$m[8];
    if (count($pins) > MOST_PINS || count($roots) > MOST_ROOT_KEYS || count($signatures) > MOST_STATEMENT_SIGNATURES
        || $threshold > count($roots) || count(array_unique($roots)) !== count($roots)) {
        return null;
    }
    return new SignedStatement(new KeyStatement($m[1], (int)$m[2], $m[3], $release, $m[5], $pins, $roots, $threshold),
                               $signatures);
}

/**
 * Why $next may not follow the chain of $statements (serial 1 first), or
 * null when it may: serial n+1 of the last one (1 with none), for the
 * product, signed by at least k distinct keys of the root set in force and,
 * when it names a new set, by k of that set too. The first statement names
 * the set the programs are built with and is signed by it.
 * @param list<SignedStatement> $statements
 */
function successor_refusal(array $statements, SignedStatement $next, string $product): ?string
{
    $serial = count($statements) + 1;
    [$roots, $threshold] = roots_in_force($statements);
    $named = $next->statement;
    if ($named->product !== $product) {
        return "the statement is for product {$named->product}, not $product";
    }
    if ($named->serial !== $serial) {
        return "the statement has serial {$named->serial}; the next one is $serial";
    }
    if ($roots === [] && $named->roots === []) {
        return 'the first statement names the root set (--root-keys, --threshold)';
    }
    foreach ([[$roots, $threshold, 'the root set in force'], [$named->roots, $named->threshold, 'the new root set']]
             as [$set, $needed, $what]) {
        $count = count($next->signers($set));
        if ($set !== [] && $count < $needed) {
            return "$count distinct keys of $what signed the statement; it needs $needed";
        }
    }
    return null;
}

/**
 * The root set after the statements and its threshold.
 * @param list<SignedStatement> $statements
 * @return array{list<string>, int}
 */
function roots_in_force(array $statements): array
{
    $roots = [];
    $threshold = 0;
    foreach ($statements as $signed) {
        if ($signed->statement->roots !== []) {
            [$roots, $threshold] = [$signed->statement->roots, $signed->statement->threshold];
        }
    }
    return [$roots, $threshold];
}

/**
 * The serial of the current key statement, checked against the keys that
 * are about to sign replies under it; null while no statement is published.
 * It must not have expired, and it must name the current release key
 * (unless $release is null) and the current freshness key.
 */
function statement_serial_for(?SignedStatement $current, ?OpenSSLAsymmetricKey $release,
                              OpenSSLAsymmetricKey $freshness, int $now): ?int
{
    if ($current === null) {
        return null;
    }
    $named = $current->statement;
    if ($named->expires <= utc_stamp($now)) {
        throw new PublishRefused("key statement {$named->serial} expired at {$named->expires} (UTC): commit its successor first");
    }
    if ($release !== null && !in_array(key_point($release), $named->release, true)) {
        throw new PublishRefused("key statement {$named->serial} does not name this release key");
    }
    if (key_point($freshness) !== $named->freshness) {
        throw new PublishRefused("key statement {$named->serial} does not name this freshness key");
    }
    return $named->serial;
}

// refresh keeps the release key's signatures as they are, so they must
// already come from a key the statement names (the -1 reply always has the
// current key's).
function check_replies_signed_under(ReleaseStore $store, SignedStatement $current, string $product): void
{
    $reply = $store->stored_replies()[-1] ?? null;
    if ($reply === null) {
        return;
    }
    $message = signed_message($product, -1, $reply['body']);
    foreach ($current->statement->release as $point) {
        if (openssl_verify($message, base64_decode($reply['signature'], true), point_pem($point), OPENSSL_ALGO_SHA256) === 1) {
            return;
        }
    }
    throw new PublishRefused("the replies are signed with a release key that key statement {$current->statement->serial} "
                             . 'does not name: run publish rebuild with a key it names');
}

// A P-256 public key's point, 128 lowercase hex digits.
function key_point(OpenSSLAsymmetricKey $key): string
{
    $ec = openssl_pkey_get_details($key)['ec'] ?? [];
    if (($ec['curve_name'] ?? '') !== 'prime256v1') {
        throw new PublishRefused('not a P-256 key');
    }
    return bin2hex(str_pad($ec['x'], 32, "\0", STR_PAD_LEFT) . str_pad($ec['y'], 32, "\0", STR_PAD_LEFT));
}

function public_key_file_point(string $path): string
{
    $pem = @file_get_contents($path);
    $key = $pem === false ? false : openssl_pkey_get_public($pem);
    if ($key === false) {
        throw new PublishRefused("cannot read a public key from $path");
    }
    return key_point($key);
}

// The PEM public key of a point: the fixed DER header of an uncompressed P-256 key, then the point.
function point_pem(string $point): string
{
    $der = hex2bin('3059301306072a8648ce3d020106082a8648ce3d03010703420004') . hex2bin($point);
    return "-----BEGIN PUBLIC KEY-----\n" . chunk_split(base64_encode($der), 64, "\n") . "-----END PUBLIC KEY-----\n";
}

/**
 * The successor of $current (the first statement when null) with the
 * changes the options ask for: --release-key and --root-keys are lists of
 * public key files separated by ";", --pins a list of pins.
 * @param array<string, string> $options
 */
function propose_statement(?KeyStatement $current, array $options, Config $config, int $now): SignedStatement
{
    $points = fn(string $list) => array_map('public_key_file_point', explode(';', $list));
    $release = isset($options['--release-key']) ? $points($options['--release-key']) : $current?->release;
    $freshness = isset($options['--freshness-key']) ? public_key_file_point($options['--freshness-key']) : $current?->freshness;
    if ($release === null || $freshness === null) {
        throw new PublishRefused('the first statement names the release key and the freshness key');
    }
    $roots = isset($options['--root-keys']) ? $points($options['--root-keys']) : [];
    $threshold = (int)($options['--threshold'] ?? 0);
    if ($roots !== [] && (preg_match('/^[1-9][0-9]?$/D', $options['--threshold']) !== 1 || $threshold > count($roots))) {
        throw new PublishRefused('the threshold is a number of root keys from 1 to ' . count($roots));
    }
    if (preg_match('/^([1-9][0-9]{0,4})d$/D', $options['--expires'] ?? '365d', $days) !== 1) {
        throw new PublishRefused('--expires is a number of days, such as 365d');
    }
    $pins = isset($options['--pins']) ? parse_publisher_pins($options['--pins']) : ($current?->pins ?? $config->publisher_pins);
    $proposal = new SignedStatement(new KeyStatement($config->product, ($current?->serial ?? 0) + 1,
        utc_stamp($now + (int)$days[1] * 86400), $release, $freshness, $pins, $roots, $threshold));
    if (count(array_unique($release)) !== count($release) || parse_statement($proposal->file()) === null) {
        throw new PublishRefused('a statement names one or two different release keys, at most ' . MOST_PINS
                                 . ' pins and at most ' . MOST_ROOT_KEYS . ' different root keys');
    }
    return $proposal;
}

function read_statement_file(string $path): SignedStatement
{
    $text = @file_get_contents($path);
    $signed = $text === false ? null : parse_statement($text);
    if ($signed === null) {
        throw new PublishRefused("$path is not a key statement");
    }
    return $signed;
}

// Written aside and renamed, so a signature is added whole or not at all.
function write_statement_file(string $path, SignedStatement $signed, bool $replace): void
{
    if (!$replace && file_exists($path)) {
        throw new PublishRefused("$path exists already");
    }
    $temporary = "$path.new";
    if (file_put_contents($temporary, $signed->file()) === false || !rename($temporary, $path)) {
        throw new RuntimeException("cannot write $path");
    }
}
