<?php

declare(strict_types=1);

// A staged rollout of the newest release: the share of client groups (0 to
// 99) offered it grows on a schedule, and a halt offers it to nobody new.
// A client in group g is in the rollout while g is below the share, so the
// groups that are in stay in as the share grows. Two replies are signed for
// every version below the release when it is published: one with it and one
// as if it were not released ("held"); the router picks between them, so
// changing the share, halting and resuming sign nothing.

const GROUP_HEADER = 'X-Update-Group';
const ROLLOUT_HEADER = 'X-Update-Rollout';
// A check without a readable group, such as one from a program that sends
// none, counts as the last group: it is offered the release at 100 %.
const LAST_GROUP = 99;

final class Rollout
{
    /**
     * @param list<int> $shares percent of groups at each step, rising
     * @param int $interval seconds between steps (0 with a single share)
     * @param int $paused seconds spent halted before the last resume
     * @param ?int $resumed when it was last resumed: what clients did before
     *             that is what the vendor looked into
     */
    public function __construct(
        public readonly int $version,
        public readonly array $shares,
        public readonly int $interval,
        public readonly int $started,
        public readonly int $paused = 0,
        public readonly ?int $halted = null,
        public readonly ?int $resumed = null
    ) {
    }

    // Since when checks tell how the release fares.
    public function watched_from(): int
    {
        return $this->resumed ?? $this->started;
    }

    // The share on the schedule at $now, as if never halted since the last
    // resume: time spent halted does not count towards the next step.
    public function scheduled_share(int $now): int
    {
        $elapsed = ($this->halted ?? $now) - $this->started - $this->paused;
        $step = $this->interval === 0 ? 0 : intdiv(max(0, $elapsed), $this->interval);
        return $this->shares[min($step, count($this->shares) - 1)];
    }

    public function share(int $now): int
    {
        return $this->halted === null ? $this->scheduled_share($now) : 0;
    }

    public function includes(int $group, int $now): bool
    {
        return $group < $this->share($now);
    }

    // When the share next grows, or null when it will not.
    public function next_step(int $now): ?int
    {
        if ($this->halted !== null || $this->interval === 0) {
            return null;
        }
        $step = intdiv(max(0, $now - $this->started - $this->paused), $this->interval) + 1;
        return $step < count($this->shares) ? $this->started + $this->paused + $step * $this->interval : null;
    }

    public function is_complete(int $now): bool
    {
        return $this->share($now) >= 100;
    }

    public function rescheduled(array $shares, int $interval, int $now): Rollout
    {
        return new Rollout($this->version, $shares, $interval, $now, 0,
                           $this->halted === null ? null : $now);
    }

    public function halted_at(int $now): Rollout
    {
        return $this->halted !== null ? $this
            : new Rollout($this->version, $this->shares, $this->interval, $this->started, $this->paused, $now,
                          $this->resumed);
    }

    public function resumed_at(int $now): Rollout
    {
        return $this->halted === null ? $this
            : new Rollout($this->version, $this->shares, $this->interval, $this->started,
                          $this->paused + $now - $this->halted, null, $now);
    }

    public function to_json(): string
    {
        return json_encode(['version' => $this->version, 'shares' => $this->shares, 'interval' => $this->interval,
                            'started' => $this->started, 'paused' => $this->paused, 'halted' => $this->halted,
                            'resumed' => $this->resumed]) . "\n";
    }

    // Null for anything that is not a state this code wrote.
    public static function from_json(string $text): ?Rollout
    {
        $state = json_decode($text, true);
        $whole = fn($value) => is_int($value) && $value >= 0;
        if (!is_array($state) || !$whole($state['version'] ?? null) || !$whole($state['interval'] ?? null)
            || !$whole($state['started'] ?? null) || !$whole($state['paused'] ?? null)
            || !(($state['halted'] ?? null) === null || $whole($state['halted']))
            || !(($state['resumed'] ?? null) === null || $whole($state['resumed']))
            || !is_array($state['shares'] ?? null) || !is_schedule($state['shares'], $state['interval'])) {
            return null;
        }
        return new Rollout($state['version'], $state['shares'], $state['interval'], $state['started'],
                           $state['paused'], $state['halted'], $state['resumed'] ?? null);
    }
}

function is_schedule(array $shares, int $interval): bool
{
    if ($shares === [] || !array_is_list($shares) || ($interval === 0) !== (count($shares) === 1)) {
        return false;
    }
    $previous = -1;
    foreach ($shares as $share) {
        if (!is_int($share) || $share <= $previous || $share > 100) {
            return false;
        }
        $previous = $share;
    }
    return true;
}

// The group a request names: "0" to "99" as written, else the last group.
function request_group(mixed $header): int
{
    return is_string($header) && preg_match('/^(0|[1-9][0-9]?)$/D', $header) === 1 ? (int)$header : LAST_GROUP;
}

function rollout_path(string $store): string
{
    return "$store/rollout.json";
}

function held_replies_folder(string $replies_folder): string
{
    return "$replies_folder/held";
}

// The rollout in progress in the store, or null. Held replies decide that a
// version is rolling out; a state that cannot be read then includes nobody.
function read_rollout(string $store): ?Rollout
{
    $text = @file_get_contents(rollout_path($store));
    return $text === false ? null : Rollout::from_json($text);
}
