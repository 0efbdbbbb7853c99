<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// A throw-away store, key pair and release folders in a temporary folder.
abstract class StoreTestCase extends TestCase
{
    protected const BASE_URL = 'http://files.example/u';

    protected string $folder;
    protected string $store_root;
    protected static ?OpenSSLAsymmetricKey $key = null;
    protected static string $public_pem = '';

    public static function setUpBeforeClass(): void
    {
        if (self::$key === null) {
            self::$key = openssl_pkey_new(['private_key_type' => OPENSSL_KEYTYPE_EC, 'curve_name' => 'prime256v1']);
            self::$public_pem = openssl_pkey_get_details(self::$key)['key'];
        }
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

    protected function publisher(): Publisher
    {
        return new Publisher(new ReleaseStore($this->store_root), self::BASE_URL, new SigningKeys(self::$key));
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

    /** @return array{body: string, signature: ?string} */
    protected function reply(string $version): array
    {
        return find_reply($version, $this->store_root . '/replies');
    }

    /** The reply's lines as [url, size, sha256]. */
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
