<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// A throw-away store, key pairs (release and freshness) and release folders
// in a temporary folder.
abstract class StoreTestCase extends TestCase
{
    protected const BASE_URL = 'http://files.example/u';
    protected const PRODUCT = 'product.example';
    protected const VALIDITY = 7 * 86400;

    protected string $folder;
    protected string $store_root;
    protected static ?OpenSSLAsymmetricKey $key = null;
    protected static string $public_pem = '';
    protected static ?OpenSSLAsymmetricKey $freshness_key = null;
    protected static string $freshness_public_pem = '';

    public static function setUpBeforeClass(): void
    {
        if (self::$key === null) {
            self::$key = self::new_key();
            self::$public_pem = openssl_pkey_get_details(self::$key)['key'];
            self::$freshness_key = self::new_key();
            self::$freshness_public_pem = openssl_pkey_get_details(self::$freshness_key)['key'];
        }
    }

    protected static function new_key(): OpenSSLAsymmetricKey
    {
        return openssl_pkey_new(['private_key_type' => OPENSSL_KEYTYPE_EC, 'curve_name' => 'prime256v1']);
    }

    protected function setUp(): void
    {
        $this->folder = sys_get_temp_dir() . '/update-server-test-' . bin2hex(random_bytes(6));
        mkdir($this->folder);
        $this->store_root = $this->folder . '/store';
    }

    protected function tearDown(): void
    {
        exec('rm -rf ' . escapeshellarg($this->folder));
    }

    /** A publisher with the xdelta3 and xz on the PATH unless another $patches is given. */
    protected function publisher(?SigningKeys $keys = null, ?PatchMaker $patches = null): Publisher
    {
        return new Publisher(new ReleaseStore($this->store_root), self::BASE_URL, self::PRODUCT,
                             $keys ?? new SigningKeys(self::$key), $this->freshness_signer(),
                             $patches ?? PatchMaker::find(), null, Compressor::find());
    }

    protected function freshness_signer(?int $now = null, int $validity = self::VALIDITY): FreshnessSigner
    {
        return new FreshnessSigner(new SigningKeys(self::$freshness_key), $validity, $now ?? time());
    }

    /** openssl_verify's answer for the release key's signature of a reply for version. */
    protected function release_verifies(string $version, array $reply, ?string $public_pem = null,
                                        string $product = self::PRODUCT): int
    {
        return openssl_verify(signed_message($product, (int)$version, $reply['body']),
                              base64_decode($reply['signature'], true), $public_pem ?? self::$public_pem,
                              OPENSSL_ALGO_SHA256);
    }

    /** openssl_verify's answer for the freshness signature of a reply for version. */
    protected function freshness_verifies(string $version, array $reply, ?string $public_pem = null): int
    {
        [$expires, $signature] = explode(' ', $reply['freshness'], 2);
        return openssl_verify(freshness_message($expires, signed_message(self::PRODUCT, (int)$version, $reply['body'])),
                              base64_decode($signature, true), $public_pem ?? self::$freshness_public_pem,
                              OPENSSL_ALGO_SHA256);
    }

    /** A folder holding these files (name => contents). */
    protected function release_folder(array $files): string
    {
        $folder = $this->folder . '/release-' . bin2hex(random_bytes(4));
        mkdir($folder);
        foreach ($files as $name => $data) {
            file_put_contents("$folder/$name", $data);
        }
        return $folder;
    }

    protected function publish(int $version, array $files, array $installers = []): array
    {
        return $this->publisher()->publish($version, $this->release_folder($files), $installers);
    }

    /** @return array{body: string, signature: ?string, freshness: ?string} */
    protected function reply(string $version): array
    {
        return find_reply($version, $this->store_root . '/replies');
    }

    /** The reply's lines as [url, size, sha256], with [patch url, patch size, base sha256] after where a patch is kept. */
    protected function offer_lines(string $version): array
    {
        $body = $this->reply($version)['body'];
        return $body === '' ? [] : array_map(fn($line) => explode(',', $line), explode("\r\n", $body));
    }

    /** Every file of the store and its contents, relative path => bytes. */
    protected function store_contents(): array
    {
        $found = [];
        $iterator = new RecursiveIteratorIterator(new RecursiveDirectoryIterator($this->store_root,
            FilesystemIterator::SKIP_DOTS), RecursiveIteratorIterator::SELF_FIRST);
        foreach ($iterator as $path => $info) {
            $found[substr($path, strlen($this->store_root) + 1)] = $info->isDir() ? null : file_get_contents($path);
        }
        ksort($found);
        return $found;
    }
}
