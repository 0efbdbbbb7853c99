<?php

declare(strict_types=1);

use PHPUnit\Framework\TestCase;

// publish watch's reading of the access log and its decision.
final class WatchTest extends TestCase
{
    private const STARTED = 1796817600; // 2026-12-09 12:00:00 UTC

    private static function line(int $time, string $address, string $query, string $group, string $chosen,
                                 int $status = 200): string
    {
        return sprintf("%s - - [%s] \"GET /upload/check_update.php?%s HTTP/1.0\" %d 412 \"-\" \"Tervalisk\" \"%s\" \"%s\"\n",
                       $address, gmdate('d/M/Y:H:i:s +0000', $time), $query, $status, $group, $chosen);
    }

    public function test_a_log_line_is_a_check_with_its_time_address_version_group_and_chosen_reply(): void
    {
        $this->assertSame([self::STARTED, '198.51.100.4', 1, '7', 'in'],
                          watched_check(self::line(self::STARTED, '198.51.100.4', 'wersja=1', '7', 'in')));
        // Another zone is the same moment.
        $this->assertSame(self::STARTED, watched_check(str_replace('12:00:00 +0000', '13:00:00 +0100',
            self::line(self::STARTED, 'a', 'wersja=1', '7', 'in')))[0]);
        $this->assertSame([self::STARTED, 'a', -1, '-', '-'],
                          watched_check(self::line(self::STARTED, 'a', 'wersja=-1', '-', '-')));
        $not_checks = [self::line(self::STARTED, 'a', 'wersja=01', '7', 'in'),
                       self::line(self::STARTED, 'a', 'wersja=1', '7', 'in', 502),
                       self::line(self::STARTED, 'a', 'wersja=1', '7', 'maybe'),
                       // The combined format alone, without the two fields.
                       substr(self::line(self::STARTED, 'a', 'wersja=1', '7', 'in'), 0, -10) . "\n",
                       '', "garbage\n", str_replace('/Dec/', '/Dex/', self::line(self::STARTED, 'a', 'wersja=1', '7', 'in'))];
        foreach ($not_checks as $line) {
            $this->assertNull(watched_check($line), $line);
        }
    }

    public function test_machines_that_ask_again_as_before_or_as_minus_one_did_not_arrive(): void
    {
        $rollout = new Rollout(5, [10, 50], 3600, self::STARTED);
        $t = self::STARTED;
        $lines = [
            // Before the rollout: not counted.
            self::line($t - 60, '10.0.0.9', 'wersja=4', '3', 'in'),
            // Arrives: offered at 4, next as 5.
            self::line($t + 10, '10.0.0.1', 'wersja=4', '3', 'in'),
            self::line($t + 70, '10.0.0.1', 'wersja=5', '61', '-'),
            // Offered twice at 4: did not arrive.
            self::line($t + 20, '10.0.0.2', 'wersja=4', '8', 'in'),
            self::line($t + 90, '10.0.0.2', 'wersja=4', '8', 'in'),
            // Offered at 3, then damaged.
            self::line($t + 30, '10.0.0.3', 'wersja=3', '2', 'in'),
            self::line($t + 95, '10.0.0.3', 'wersja=-1', '40', 'out'),
            // Outside the rollout, asking again and again: not offered.
            self::line($t + 40, '10.0.0.4', 'wersja=4', '77', 'out'),
            self::line($t + 99, '10.0.0.4', 'wersja=4', '77', 'out'),
            // Another machine behind the same address, at another version.
            self::line($t + 50, '10.0.0.1', 'wersja=2', '5', 'in'),
        ];
        // In any order, as rotated logs come.
        $health = rollout_health(array_reverse($lines), $rollout);
        $this->assertSame(['offered' => 4, 'failed' => 2, 'arrived' => 1], $health);

        [$said, $halted] = watch_rollout($rollout, $health, 50, 4, $t + 100);
        $this->assertStringContainsString('offered to 4 machines, 2 of them did not arrive', $said);
        $this->assertStringContainsString('halted version 5', $said);
        $this->assertSame($t + 100, $halted->halted);
        [$said, $halted] = watch_rollout($rollout, $health, 51, 4, $t + 100);
        $this->assertStringContainsString('50.0 % did not arrive, below the threshold of 51 %; left running', $said);
        $this->assertNull($halted);
        [$said, $halted] = watch_rollout($rollout, $health, 10, 5, $t + 100);
        $this->assertStringContainsString('Fewer than 5 machines offered it yet; left running', $said);
        $this->assertNull($halted);
        [$said, $halted] = watch_rollout($rollout->halted_at($t + 50), $health, 10, 1, $t + 100);
        $this->assertStringContainsString('Already halted', $said);
        $this->assertNull($halted);

        // Resumed, only what came after counts: the machine still asking as 4
        // is offered it anew.
        $resumed = $rollout->halted_at($t + 84)->resumed_at($t + 85);
        $this->assertSame(['offered' => 1, 'failed' => 0, 'arrived' => 0], rollout_health($lines, $resumed));
    }
}
