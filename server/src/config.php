<?php

declare(strict_types=1);

final class Config
{
    public const DEFAULT_STORE = '/var/lib/update-store';
    public const DEFAULT_BASE_URL = 'http://localhost/files';
    public const DEFAULT_FRESHNESS_VALIDITY = '7d';

    /**
     * freshness_validity in seconds; publisher_pins: the keys whose programs
     * a release may hold (parse_publisher_pins), none: releases are not checked
     * @param list<string> $publisher_pins
     */
    public function __construct(
        public readonly string $store,
        public readonly string $base_url,
        public readonly string $product,
        public readonly int $freshness_validity,
        public readonly array $publisher_pins = [],
        public readonly ?BucketAddress $bucket = null,
        public readonly ?string $edge_url = null
    ) {
    }

    // The file named by UPDATE_SERVER_CONFIG, else config.ini beside this
    // folder; a setting the file leaves out keeps its default.
    public static function load(): Config
    {
        $path = getenv('UPDATE_SERVER_CONFIG');
        if ($path === false || $path === '') {
            $path = dirname(__DIR__) . '/config.ini';
        }
        $settings = @parse_ini_file($path, false, INI_SCANNER_RAW);
        if ($settings === false) {
            throw new RuntimeException("cannot read the configuration $path");
        }
        $store = (string)($settings['store'] ?? self::DEFAULT_STORE);
        // The web server and publish run in different folders; a relative
        // store means the same place to both.
        if ($store !== '' && $store[0] !== '/') {
            $store = dirname($path) . '/' . $store;
        }
        $base_url = rtrim((string)($settings['base_url'] ?? self::DEFAULT_BASE_URL), '/');
        // The program's product name defaults to its update server's host
        // name, which is the base URL's host unless the files come from elsewhere.
        $product = (string)($settings['product'] ?? parse_url($base_url, PHP_URL_HOST) ?? '');
        if (preg_match('/^[A-Za-z0-9._-]+$/D', $product) !== 1) {
            throw new RuntimeException("product \"$product\" in $path: only letters, digits, \".\", \"-\" and \"_\"");
        }
        $validity = parse_validity((string)($settings['freshness_validity'] ?? self::DEFAULT_FRESHNESS_VALIDITY));
        $pins = parse_publisher_pins((string)($settings['publisher_pins'] ?? ''));
        $edge_url = rtrim((string)($settings['edge_url'] ?? ''), '/');
        if ($edge_url !== '' && preg_match('#^https?://[^/?\#]+$#D', $edge_url) !== 1) {
            throw new RuntimeException("edge_url \"$edge_url\" in $path: an http(s)://host[:port]");
        }
        return new Config($store, $base_url, $product, $validity, $pins, configured_bucket($settings, $path),
                          $edge_url === '' ? null : $edge_url);
    }

    public function replies_folder(): string
    {
        return $this->store . '/replies';
    }
}

// Where a bucket is; what is done with it is bucket.php's, which the web
// server never loads.
final class BucketAddress
{
    public function __construct(public readonly string $endpoint, public readonly string $name)
    {
    }
}

// The bucket publish pushes to: both of bucket_endpoint and bucket, or neither.
function configured_bucket(array $settings, string $path): ?BucketAddress
{
    $endpoint = rtrim((string)($settings['bucket_endpoint'] ?? ''), '/');
    $name = (string)($settings['bucket'] ?? '');
    if ($endpoint === '' && $name === '') {
        return null;
    }
    if (preg_match('#^https?://[^/?\#]+$#D', $endpoint) !== 1 || preg_match('/^[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]$/D', $name) !== 1) {
        throw new RuntimeException("bucket_endpoint \"$endpoint\" and bucket \"$name\" in $path: an http(s)://host[:port] and an S3 bucket name");
    }
    return new BucketAddress($endpoint, $name);
}

// "7d", "12h", "30m" or "45s" in seconds.
function parse_validity(string $text): int
{
    if (preg_match('/^([1-9][0-9]{0,5})([smhd])$/D', $text, $match) !== 1) {
        throw new RuntimeException("freshness_validity \"$text\" is not a number of s, m, h or d (such as 7d)");
    }
    return (int)$match[1] * ['s' => 1, 'm' => 60, 'h' => 3600, 'd' => 86400][$match[2]];
}

/**
 * The pins of the publisher_pins setting: SHA-256 hashes of certificates'
 * SubjectPublicKeyInfo (DER), 64 lowercase hex digits each, separated by ";".
 * @return list<string>
 */
function parse_publisher_pins(string $text): array
{
    if ($text === '') {
        return [];
    }
    $pins = explode(';', $text);
    foreach ($pins as $pin) {
        if (preg_match('/^[0-9a-f]{64}$/D', $pin) !== 1) {
            throw new RuntimeException("publisher pin \"$pin\" is not the SHA-256 of a public key in 64 lowercase hex digits");
        }
    }
    return $pins;
}
