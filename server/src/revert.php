<?php

declare(strict_types=1);

require_once __DIR__ . '/publisher.php';

// Undoing a bad release. Clients only ever move up in version, so the
// content of an earlier version comes back as a new, higher one: it holds,
// in their form as of that earlier version, the files that any later
// version changed. A file first released after that version stays as it
// is: nothing removes an installed file.

/**
 * Publishes $version with the content of $good; returns what each version
 * is offered and the names kept because $good did not have them.
 * @param list<int> $installers
 * @return array{array<int, list<array{name: string, version: int, path: string}>>, list<string>}
 */
function publish_revert(Publisher $publisher, ReleaseStore $store, int $version, int $good,
                        array $installers = []): array
{
    $kept = [];
    $offers = $publisher->publish_chosen($version, function () use ($store, $good, &$kept) {
        [$files, $kept] = reverted_files($store, $good);
        return $files;
    }, $installers);
    return [$offers, $kept];
}

/**
 * The files of $good's content that later versions changed, and the names
 * they added that $good did not have.
 * @return array{list<array{name: string, path: string}>, list<string>}
 */
function reverted_files(ReleaseStore $store, int $good): array
{
    $released = $store->released_versions();
    if (!in_array($good, $released, true)) {
        throw new PublishRefused("version $good was never released");
    }
    $as_of_good = [];
    $changed_later = [];
    foreach ($released as $version) {
        foreach ($store->files_of($version) as $file) {
            $key = strtolower($file['name']);
            if (is_version_file($key)) {
                continue;
            }
            if ($version <= $good) {
                $as_of_good[$key] = $file;
            } else {
                $changed_later[$key] = $file['name'];
            }
        }
    }
    $files = array_values(array_intersect_key($as_of_good, $changed_later));
    // Released before the program's rules named them all.
    foreach ($files as $file) {
        check_publishable_name($file['name']);
    }
    $kept = array_values(array_diff_key($changed_later, $as_of_good));
    if ($files === []) {
        throw new PublishRefused("no version after $good changed a file that $good has; nothing to revert");
    }
    return [$files, $kept];
}
