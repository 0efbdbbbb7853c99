<?php

declare(strict_types=1);

require_once __DIR__ . '/router.php';

// Which versions are out there, from nginx's access logs: every start of an
// installed copy asks check_update.php with its version, so the answered
// checks of a day, by the version asked about, are a census of the starts.

const CENSUS_OTHER = 'other';
const CENSUS_MONTHS = ['Jan' => 1, 'Feb' => 2, 'Mar' => 3, 'Apr' => 4, 'May' => 5, 'Jun' => 6,
                       'Jul' => 7, 'Aug' => 8, 'Sep' => 9, 'Oct' => 10, 'Nov' => 11, 'Dec' => 12];

/**
 * The day (as logged, YYYY-MM-DD) and the version of an answered check in a
 * line of nginx's combined log format: a version as the router reads it, or
 * CENSUS_OTHER for a query the router answers empty. Null for any other line.
 * @return ?array{string, int|string}
 */
function census_check(string $line): ?array
{
    $pattern = '~^\S+ \S+ \S+ \[(\d{2})/([A-Z][a-z]{2})/(\d{4}):[^\]]*\] '
             . '"(?:GET|HEAD) /upload/check_update\.php(?:\?(\S*))? HTTP/[0-9.]+" 200 ~';
    if (preg_match($pattern, $line, $match) !== 1 || !isset(CENSUS_MONTHS[$match[2]])) {
        return null;
    }
    $day = sprintf('%s-%02d-%s', $match[3], CENSUS_MONTHS[$match[2]], $match[1]);
    // The query read as PHP reads it for the router ($_GET).
    parse_str($match[4] ?? '', $query);
    $version = $query['wersja'] ?? null;
    return [$day, is_string($version) && is_canonical_version($version) ? (int)$version : CENSUS_OTHER];
}

/**
 * Checks per day and version, from the lines of any number of logs.
 * @param iterable<string> $lines
 * @return array<string, array<int|string, int>> day => version => checks
 */
function count_checks(iterable $lines): array
{
    $counts = [];
    foreach ($lines as $line) {
        $check = census_check($line);
        if ($check !== null) {
            [$day, $version] = $check;
            $counts[$day][$version] = ($counts[$day][$version] ?? 0) + 1;
        }
    }
    ksort($counts);
    return $counts;
}

/**
 * The lines of a log, plain or gzipped (as logrotate leaves access.log.2.gz).
 * @return Generator<string>
 */
function log_lines(string $path): Generator
{
    // The zlib stream reads a file that is not gzipped as it is.
    $file = @fopen('compress.zlib://' . $path, 'rb');
    if ($file === false) {
        throw new RuntimeException("cannot read $path");
    }
    try {
        while (($line = fgets($file)) !== false) {
            yield $line;
        }
    } finally {
        fclose($file);
    }
}

/**
 * The lines of several logs, one after another.
 * @param list<string> $paths
 * @return Generator<string>
 */
function logs_lines(array $paths): Generator
{
    foreach ($paths as $path) {
        yield from log_lines($path);
    }
}

/**
 * The census as rows of cells, a heading row first: one row a day with the
 * checks, the share at $newest (the newest released version, null if none),
 * then the checks of each version, newest first.
 * @param array<string, array<int|string, int>> $counts
 * @return list<list<string>>
 */
function census_rows(array $counts, ?int $newest): array
{
    $columns = census_versions($counts);
    $rows = [array_merge(['day', 'checks', $newest === null ? 'at newest' : "at $newest"],
                         array_map('census_version_name', $columns))];
    foreach ($counts as $day => $by_version) {
        $total = array_sum($by_version);
        $share = $newest === null ? '-' : sprintf('%.1f%%', 100 * ($by_version[$newest] ?? 0) / $total);
        $rows[] = array_merge([(string)$day, (string)$total, $share],
                              array_map(fn($version) => (string)($by_version[$version] ?? 0), $columns));
    }
    return $rows;
}

/**
 * Every version the counts hold, newest first, CENSUS_OTHER last.
 * @param array<string, array<int|string, int>> $counts
 * @return list<int|string>
 */
function census_versions(array $counts): array
{
    $versions = [];
    foreach ($counts as $by_version) {
        $versions += $by_version;
    }
    $numbers = array_filter(array_keys($versions), 'is_int');
    rsort($numbers);
    return array_merge($numbers, isset($versions[CENSUS_OTHER]) ? [CENSUS_OTHER] : []);
}

/** @param int|string $version */
function census_version_name($version): string
{
    return $version === -1 ? '-1 (unread)' : (string)$version;
}

/**
 * The census as a text table, columns aligned.
 * @param array<string, array<int|string, int>> $counts
 */
function census_table(array $counts, ?int $newest): string
{
    $rows = census_rows($counts, $newest);
    $widths = [];
    foreach ($rows as $row) {
        foreach ($row as $column => $cell) {
            $widths[$column] = max($widths[$column] ?? 0, strlen($cell));
        }
    }
    $text = '';
    foreach ($rows as $row) {
        $cells = [];
        foreach ($row as $column => $cell) {
            $cells[] = $column === 0 ? str_pad($cell, $widths[$column]) : str_pad($cell, $widths[$column], ' ', STR_PAD_LEFT);
        }
        $text .= implode('  ', $cells) . "\n";
    }
    return $text;
}
