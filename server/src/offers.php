<?php

declare(strict_types=1);

// What a client at a given version is offered: every file changed in any
// released version above it, once, in its newest form, and where one is
// kept, a patch from the form the client holds. Windows does not tell
// "Menu.exe" from "menu.exe", so names are compared without case.

const VERSION_FILE_NAME = 'wersja.txt';

/**
 * @param array<int, list<array{name: string, path: string}>> $releases version => its files, oldest first
 * @return list<array{name: string, version: int, path: string}>
 */
function offered_files(array $releases, int $client_version): array
{
    $newest = [];
    foreach ($releases as $version => $files) {
        if ($version <= $client_version) {
            continue;
        }
        foreach ($files as $file) {
            $newest[strtolower($file['name'])] = ['name' => $file['name'], 'version' => $version, 'path' => $file['path']];
        }
    }
    // The version file last: a client that stops part-way still asks again.
    uasort($newest, fn($a, $b) => is_version_file($a['name']) <=> is_version_file($b['name'])
                                  ?: strcmp($a['name'], $b['name']));
    return array_values($newest);
}

/**
 * The form of each file a client at $client_version holds, by lower-case
 * name: that of the newest released version at or below it with a file of
 * that name. Nothing for -1, whose files are unknown (and below every release).
 * @param array<int, list<array{name: string, path: string}>> $releases version => its files, oldest first
 * @return array<string, array{name: string, version: int, path: string}>
 */
function held_forms(array $releases, int $client_version): array
{
    $held = [];
    foreach ($releases as $version => $files) {
        if ($version > $client_version) {
            break;
        }
        foreach ($files as $file) {
            $held[strtolower($file['name'])] = ['name' => $file['name'], 'version' => $version, 'path' => $file['path']];
        }
    }
    return $held;
}

function is_version_file(string $name): bool
{
    return strtolower($name) === VERSION_FILE_NAME;
}

// One CR LF line per file: URL, size in bytes, SHA-256 in lowercase hex;
// with a patch, its URL, its size and the SHA-256 of the form it applies to;
// with a compressed form, its URL and size as fields 7 and 8, after three
// empty ones where there is no patch. Programs before patches read only the
// first three fields, programs before compressed forms the first six.
/**
 * @param list<array{name: string, version: int, path: string, patch?: ?array{from: int, path: string, base: string},
 *                   compressed?: ?string}> $files
 */
function reply_body(array $files, string $base_url): string
{
    $lines = [];
    foreach ($files as $file) {
        [$size, $digest] = size_and_digest($file['path']);
        $line = sprintf('%s/%d/%s,%d,%s', $base_url, $file['version'], $file['name'], $size, $digest);
        $patch = $file['patch'] ?? null;
        if ($patch !== null) {
            $line .= sprintf(',%s/patches/%d/%d/%s,%d,%s', $base_url, $file['version'], $patch['from'], $file['name'],
                             filesize($patch['path']), size_and_digest($patch['base'])[1]);
        }
        $compressed = $file['compressed'] ?? null;
        if ($compressed !== null) {
            $line .= ($patch === null ? ',,,' : '')
                   . sprintf(',%s/xz/%d/%s.xz,%d', $base_url, $file['version'], $file['name'], filesize($compressed));
        }
        $lines[] = $line;
    }
    return implode("\r\n", $lines);
}

// A released file never changes, so one reading serves every reply that lists it.
/** @return array{int, string} */
function size_and_digest(string $path): array
{
    static $known = [];
    return $known[$path] ??= [filesize($path), hash_file('sha256', $path)];
}
