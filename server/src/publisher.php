<?php

declare(strict_types=1);

require_once __DIR__ . '/compressed_forms.php';
require_once __DIR__ . '/file_names.php';
require_once __DIR__ . '/freshness.php';
require_once __DIR__ . '/keys.php';
require_once __DIR__ . '/offers.php';
require_once __DIR__ . '/patches.php';
require_once __DIR__ . '/publisher_pins.php';
require_once __DIR__ . '/release_store.php';
require_once __DIR__ . '/rollout.php';
require_once __DIR__ . '/stored_reply.php';

final class PublishRefused extends RuntimeException
{
}

// Adds releases to the store and rebuilds the signed reply of every version
// a client can hold: each released version, each version an installer
// ships, and -1 (an unreadable version file), which gets the full newest set.
// Every reply carries the release key's signature for the product and the
// freshness key's, which refresh_replies renews on its own. With xdelta3
// ($patches), an offered file also names the patch from the form the client
// holds, where one is worth keeping; with xz ($compressor), its compressed
// form, where that is clearly smaller. While the newest release rolls out,
// every version below it also gets a held reply, signed alike, as if that
// release were not out (rollout.php). With publisher pins ($publishers), a
// release whose programs the clients would refuse is refused first.
final class Publisher
{
    public function __construct(
        private readonly ReleaseStore $store,
        private readonly string $base_url,
        private readonly string $product,
        private readonly SigningKeys $keys,
        private readonly FreshnessSigner $freshness,
        private readonly ?PatchMaker $patches,
        private readonly ?PublisherCheck $publishers = null,
        private readonly ?Compressor $compressor = null
    ) {
    }

    /**
     * Files and patches first, then replies: a reply never names a file that is not in place.
     * @param list<int> $installers
     * @return array<int, list<array{name: string, version: int, path: string, patch: ?array{from: int, path: string, base: string}}>>
     *         what each version is offered
     */
    public function publish(int $version, string $folder, array $installers = [], ?Rollout $rollout = null): array
    {
        return $this->publish_chosen($version, fn() => release_files($folder), $installers, $rollout);
    }

    /**
     * Like publish, with the files chosen by $choose under the store's lock,
     * so that they are chosen from the store as it is published into. A new
     * release ends any earlier rollout: what it offers includes the release
     * that rolled out. $rollout, for $version, starts one of its own.
     * @param callable(): list<array{name: string, path: string}> $choose
     * @param list<int> $installers
     * @return array<int, list<array{name: string, version: int, path: string}>>
     */
    public function publish_chosen(int $version, callable $choose, array $installers = [],
                                   ?Rollout $rollout = null): array
    {
        return $this->store->locked(function () use ($version, $choose, $installers, $rollout) {
            $this->check_new_version($version);
            array_map('check_version_number', $installers);
            $files = $choose();
            $this->publishers?->check($files);
            $this->store->add_release($version, $files, VERSION_FILE_NAME);
            $this->store->save_rollout($rollout);
            return $this->rebuild_replies($installers);
        });
    }

    /**
     * @param list<int> $installers
     * @return array<int, list<array{name: string, version: int, path: string}>>
     */
    public function rebuild(array $installers = []): array
    {
        return $this->store->locked(fn() => $this->rebuild_replies($installers));
    }

    private function check_new_version(int $version): void
    {
        if ($version < 1) {
            throw new PublishRefused("version $version: a released version is 1 or more");
        }
        $released = $this->store->released_versions();
        $newest = $released === [] ? null : end($released);
        if ($newest !== null && $version <= $newest) {
            throw new PublishRefused("version $version is not above the newest released version, $newest");
        }
    }

    private function rebuild_replies(array $installers): array
    {
        array_map('check_version_number', $installers);
        $installers = array_values(array_unique(array_merge($this->store->installer_versions(), $installers)));
        $this->store->save_installer_versions($installers);

        $releases = [];
        foreach ($this->store->released_versions() as $released) {
            $releases[$released] = $this->store->files_of($released);
        }
        $clients = array_unique(array_merge([-1], array_keys($releases), $installers));
        sort($clients);
        // Held replies first: until they are in place, no reply offers the rolling release.
        $rolling = $this->store->rollout()?->version;
        if ($rolling !== null && $rolling === array_key_last($releases)) {
            $before = array_diff_key($releases, [$rolling => true]);
            foreach (array_filter($clients, fn($client) => $client < $rolling) as $client) {
                $this->save_reply($client, $this->offers($before, $client), true);
            }
        }
        $offers = [];
        foreach ($clients as $client) {
            $offers[$client] = $this->offers($releases, $client);
            $this->save_reply($client, $offers[$client], false);
        }
        if ($rolling === null || $rolling !== array_key_last($releases)) {
            $this->store->remove_held_replies();
            $this->store->save_rollout(null);
        }
        return $offers;
    }

    private function offers(array $releases, int $client): array
    {
        return $this->with_patches(offered_files($releases, $client), held_forms($releases, $client));
    }

    private function save_reply(int $client, array $offers, bool $held): void
    {
        $body = reply_body($offers, $this->base_url);
        $signature = sign_reply($this->keys->key_for($client), $this->product, $client, $body);
        $this->store->save_reply($client, $this->freshness->stored_reply($this->product, $client, $signature, $body),
                                 $held);
    }

    /** Each offered file with the kept patch from the form the client holds and its compressed form, or none. */
    private function with_patches(array $offered, array $held): array
    {
        return array_map(fn(array $file) => $file + ['patch' => $this->kept_patch($file, $held[strtolower($file['name'])] ?? null),
                                                     'compressed' => $this->kept_compressed_form($file)],
                         $offered);
    }

    private function kept_compressed_form(array $file): ?string
    {
        if ($this->compressor === null || is_version_file($file['name'])) {
            return null;
        }
        return $this->store->compressed_form($file['version'], $file['name'],
                                             fn(string $made) => $this->compressor->make($file['path'], $made));
    }

    // Made first where that pair was never diffed. The version file is a few
    // digits, fewer bytes than any patch.
    private function kept_patch(array $file, ?array $from): ?array
    {
        if ($from === null || $this->patches === null || is_version_file($file['name'])) {
            return null;
        }
        $path = $this->store->patch($file['version'], $from['version'], $file['name'],
                                    fn(string $made) => $this->patches->make($from['path'], $file['path'], $made));
        return $path === null ? null : ['from' => $from['version'], 'path' => $path, 'base' => $from['path']];
    }
}

function check_version_number(int $version): void
{
    if ($version < 1 || $version > 2147483647) {
        throw new PublishRefused("version $version: versions are whole numbers from 1 to 2147483647");
    }
}

function parse_version(string $text): int
{
    if (!is_canonical_version($text)) {
        throw new PublishRefused("\"$text\" is not a version (a whole number written without leading zeros)");
    }
    $version = (int)$text;
    check_version_number($version);
    return $version;
}

function check_publishable_name(string $name): void
{
    if (!is_publishable_file_name($name)) {
        $shown = addcslashes($name, "\0..\37\\");
        throw new PublishRefused("\"$shown\" is not a name the program can install under");
    }
}

/**
 * The files of a release folder, checked against what a client can stage.
 * @return list<array{name: string, path: string}>
 */
function release_files(string $folder): array
{
    $entries = is_dir($folder) ? @scandir($folder) : false;
    if ($entries === false) {
        throw new PublishRefused("$folder is not a readable folder");
    }
    $files = [];
    $seen = [];
    foreach (array_diff($entries, ['.', '..']) as $name) {
        $path = "$folder/$name";
        $shown = addcslashes($name, "\0..\37\\");
        if (is_dir($path)) {
            throw new PublishRefused("$shown is a folder; a release holds files only");
        }
        if (!is_file($path) || !is_readable($path)) {
            throw new PublishRefused("$shown is not a readable file");
        }
        check_publishable_name($name);
        if (is_version_file($name)) {
            throw new PublishRefused("$shown is written by publishing; leave it out of the folder");
        }
        if (isset($seen[strtolower($name)])) {
            throw new PublishRefused("$shown and {$seen[strtolower($name)]} are the same file on Windows");
        }
        if (filesize($path) > 2147483647) {
            throw new PublishRefused("$shown is larger than the program can take (2 GiB)");
        }
        $seen[strtolower($name)] = $shown;
        $files[] = ['name' => $name, 'path' => $path];
    }
    if ($files === []) {
        throw new PublishRefused("$folder is empty");
    }
    return $files;
}
