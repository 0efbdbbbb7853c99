<?php

declare(strict_types=1);

final class Config
{
    public const DEFAULT_STORE = '/var/lib/update-store';
    public const DEFAULT_BASE_URL = 'http://localhost/files';

    public function __construct(public readonly string $store, public readonly string $base_url)
    {
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
        return new Config($store, rtrim((string)($settings['base_url'] ?? self::DEFAULT_BASE_URL), '/'));
    }

    public function replies_folder(): string
    {
        return $this->store . '/replies';
    }
}
