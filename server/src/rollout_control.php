<?php

declare(strict_types=1);

require_once __DIR__ . '/publisher.php';
require_once __DIR__ . '/rollout.php';

// The vendor's changes to a rollout in progress: a new share or schedule, a
// halt, a resume. Each only rewrites the rollout's state: the replies both
// ways were signed when the release was published, so no key is needed.

/** @param callable(Rollout): Rollout $change */
function change_rollout(ReleaseStore $store, int $version, callable $change): Rollout
{
    return $store->locked(function () use ($store, $version, $change) {
        $rollout = $store->rollout();
        if ($rollout === null || $rollout->version !== $version || $store->stored_replies(true) === []) {
            throw new PublishRefused("version $version is not rolling out (a rollout ends when its held replies"
                                     . " are dropped at 100 % or a newer version is released)");
        }
        $changed = $change($rollout);
        $store->save_rollout($changed);
        return $changed;
    });
}

/**
 * "10%" (one share, kept) or "1,5,20,50,100/6h" (shares, rising, and the
 * time between steps).
 * @return array{list<int>, int} shares and the interval in seconds
 */
function parse_schedule(string $text): array
{
    $refused = new PublishRefused("\"$text\" is not a share such as 10% or a schedule such as 1,5,20,50,100/6h");
    if (preg_match('~^((?:[0-9]{1,3}%?,)*[0-9]{1,3}%?)(?:/(.+))?$~D', $text, $match) !== 1) {
        throw $refused;
    }
    $shares = array_map(fn($share) => (int)rtrim($share, '%'), explode(',', $match[1]));
    try {
        $interval = isset($match[2]) ? parse_validity($match[2]) : 0;
    } catch (RuntimeException) {
        throw $refused;
    }
    if (!is_schedule($shares, $interval)) {
        throw $refused;
    }
    return [$shares, $interval];
}

function describe_rollout(Rollout $rollout, int $now): string
{
    $share = $rollout->scheduled_share($now);
    $groups = $share === 0 ? 'no group' : ($share === 1 ? 'group 0' : 'groups 0-' . ($share - 1));
    if ($rollout->halted !== null) {
        return "Version {$rollout->version} is halted since " . gmdate('Y-m-d H:i:s', $rollout->halted)
             . " UTC: offered to no one new (the schedule stands at $share %, $groups, until publish resume)\n";
    }
    $text = "Version {$rollout->version} is offered to $share % of clients ($groups)";
    $next = $rollout->next_step($now);
    if ($next !== null) {
        $text .= sprintf('; %d %% from %s UTC', $rollout->scheduled_share($next), gmdate('Y-m-d H:i:s', $next));
    }
    return $text . "\n";
}

/**
 * The rollout's steps reached by $now, its last resume and any halt, on the
 * day (UTC) each came, for the census page.
 * @return list<array{day: string, label: string}>
 */
function rollout_marks(Rollout $rollout, int $now): array
{
    $marks = [];
    foreach ($rollout->shares as $step => $share) {
        $time = $rollout->started + $step * $rollout->interval;
        // A step due after the last halt came as much later as the halt lasted.
        if ($rollout->resumed !== null && $time > $rollout->resumed - $rollout->paused) {
            $time += $rollout->paused;
        }
        if ($time <= min($now, $rollout->halted ?? $now)) {
            $marks[] = ['day' => gmdate('Y-m-d', $time), 'label' => "{$rollout->version}: $share %"];
        }
    }
    if ($rollout->resumed !== null) {
        $marks[] = ['day' => gmdate('Y-m-d', $rollout->resumed), 'label' => "{$rollout->version} resumed"];
    }
    if ($rollout->halted !== null) {
        $marks[] = ['day' => gmdate('Y-m-d', $rollout->halted), 'label' => "{$rollout->version} halted"];
    }
    return $marks;
}
