<?php

declare(strict_types=1);

require_once __DIR__ . '/census.php';
require_once __DIR__ . '/rollout.php';

// Whether the clients a rollout reached arrive at the new version, from the
// access logs. A log line is nginx's combined format followed by the group
// the client sent and the reply the router chose:
//   ... "$http_user_agent" "$http_x_update_group" "$sent_http_x_update_rollout"
// A machine is told apart by its address and group at the version it asks
// about (the group is salted with that version). Offered the release, a
// sound machine next asks as the release; one that asks again as the same
// version, or as -1 (a damaged installation), did not arrive.

/**
 * The time, address, version, group and chosen reply of a check in such a
 * line, or null for any other line.
 * @return ?array{int, string, int, string, string}
 */
function watched_check(string $line): ?array
{
    $pattern = '~^(\S+) \S+ \S+ \[([^\]]+)\] "(?:GET|HEAD) /upload/check_update\.php\?(\S*) HTTP/[0-9.]+" 200 '
             . '.* "([^"]*)" "(in|out|-)"\s*$~';
    if (preg_match($pattern, $line, $match) !== 1) {
        return null;
    }
    $time = DateTimeImmutable::createFromFormat('d/M/Y:H:i:s O', $match[2]);
    parse_str($match[3], $query);
    $version = $query['wersja'] ?? null;
    if ($time === false || !is_string($version) || !is_canonical_version($version)) {
        return null;
    }
    return [$time->getTimestamp(), $match[1], (int)$version, $match[4], $match[5]];
}

/**
 * What the checks since the rollout began say of it.
 * @param iterable<string> $lines
 * @return array{offered: int, failed: int, arrived: int} machines offered the
 *         release, those of them that did not arrive, checks as the release
 */
function rollout_health(iterable $lines, Rollout $rollout): array
{
    $checks = [];
    foreach ($lines as $line) {
        $check = watched_check($line);
        if ($check !== null && $check[0] >= $rollout->watched_from()) {
            $checks[] = $check;
        }
    }
    // Rotated logs come newest first on a command line.
    usort($checks, fn($a, $b) => $a[0] <=> $b[0]);
    $offered = [];
    $failed = [];
    $arrived = 0;
    foreach ($checks as [, $address, $version, $group, $chosen]) {
        if ($version === $rollout->version) {
            ++$arrived;
            continue;
        }
        if ($version === -1) {
            foreach ($offered[$address] ?? [] as $machine => $_) {
                $failed[$machine] = true;
            }
        }
        $machine = "$address $group $version";
        if (isset($offered[$address][$machine])) {
            $failed[$machine] = true;
        } elseif ($chosen === 'in' && $version < $rollout->version) {
            $offered[$address][$machine] = true;
        }
    }
    return ['offered' => array_sum(array_map('count', $offered)), 'failed' => count($failed), 'arrived' => $arrived];
}

/**
 * Halts the rollout when at least $least machines were offered the release
 * and the share of them that did not arrive reaches $threshold percent.
 * @return array{string, ?Rollout} what was seen and done, and the halted rollout or null
 */
function watch_rollout(Rollout $rollout, array $health, int $threshold, int $least, int $now): array
{
    $seen = sprintf("Version %d, watched since %s UTC: offered to %d machines, %d of them did not arrive"
                    . " (asked again as before or as -1), %d checks as version %d\n",
                    $rollout->version, gmdate('Y-m-d H:i:s', $rollout->watched_from()), $health['offered'],
                    $health['failed'], $health['arrived'], $rollout->version);
    if ($rollout->halted !== null) {
        return [$seen . "Already halted; nothing done\n", null];
    }
    if ($health['offered'] < $least) {
        return [$seen . "Fewer than $least machines offered it yet; left running\n", null];
    }
    $share = 100 * $health['failed'] / $health['offered'];
    if ($share < $threshold) {
        return [$seen . sprintf("%.1f %% did not arrive, below the threshold of %d %%; left running\n", $share, $threshold),
                null];
    }
    return [$seen . sprintf("%.1f %% did not arrive, the threshold is %d %%: halted version %d (publish resume %d"
                            . " lifts the halt)\n", $share, $threshold, $rollout->version, $rollout->version),
            $rollout->halted_at($now)];
}
